#include <gtest/gtest.h>

#include <vector>

#include "salvage/layout_join.h"
#include "salvage/run_turns.h"

// Two or three files taking turns on a card (now and then a free cluster that nothing claims
// between two turns), some of their clusters located with their file offsets, a few without: every
// cluster counting gives a file is that file's cluster, at the file offset given; with free
// clusters between the turns nothing may be taken that the count does not leave to one file.
TEST(SalvageRunTurns, CountedClustersAreTheFilesOwn)
{
    constexpr uint64_t c = 64;
    image::ImageGeometry g{0, c, 0};
    uint64_t settled = 0;
    for (uint32_t seed = 1; seed <= 400; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        const uint32_t files = 2 + random(2), odds = random(2) ? 5 : 0;
        std::vector<uint32_t> runs(files);
        for (uint32_t& r : runs)
            r = 1 + random(6);
        // each file's clusters in the image, and which file (0: none) each image cluster holds
        std::vector<std::vector<uint64_t>> at(files);
        std::vector<uint32_t> owner;
        for (uint64_t next = 0; next < 160;)
            for (uint32_t f = 0; f < files; f++) {
                for (uint32_t k = runs[f]; k > 0; k--)
                    at[f].push_back(next++), owner.push_back(f + 1);
                if (odds && random(odds) == 0)
                    next++, owner.push_back(0);
            }
        salvage::ClaimList claims{};
        for (uint32_t f = 0; f < files; f++)
            for (uint64_t k = 0; k < at[f].size(); k++)
                if (random(3) == 0) {
                    uint64_t b = at[f][k] * c + 5, file = random(4) ? k * c + 5 : UINT64_MAX;
                    basics::list_append(&claims.spans, salvage::ClaimedSpan{b, b + c - 10, f + 1, 0, 0, file});
                }
        salvage::sort_claims(&claims);
        uint64_t before = claims.spans.count;
        uint64_t added = salvage::settle_turns(&g, &claims);
        uint64_t found = 0;
        for (uint64_t i = 0; i < claims.spans.count; i++) {
            const salvage::ClaimedSpan& s = claims.spans.items[i];
            if (s.begin % c != 0)
                continue;  // one located
            found++;
            uint32_t f = s.clip - 1;
            ASSERT_EQ(s.end - s.begin, c);
            ASSERT_LT(s.file / c, at[f].size()) << "seed " << seed;
            EXPECT_EQ(at[f][s.file / c], s.begin / c) << "seed " << seed << ": file " << s.clip;
        }
        EXPECT_EQ(claims.spans.count - before, found) << "seed " << seed;
        EXPECT_LE(added, found) << "seed " << seed;
        settled += found;
        salvage::free_claims(&claims);
    }
    EXPECT_GT(settled, 400u);
}

// Another recording's pieces keep the order of its file when between two of its pieces whose file
// clusters are known it takes no more clusters than its file has between them; a piece of it that
// reaches on past the later one takes clusters behind it, not in front.
TEST(SalvageRunTurns, OthersInOrderCountsOnlyTheClustersBetween)
{
    constexpr uint64_t c = 64;
    constexpr uint64_t unknown = UINT64_MAX;
    struct Piece {
        uint64_t begin, end;  // in clusters
        uint64_t file;        // the file's cluster of `begin`, unknown: not shown
    };
    struct {
        const char* name;
        std::vector<Piece> pieces;
        int in_order;
    } rows[] = {
        {"a piece reaching past the later known one", {{2, 3, 0}, {8, 12, unknown}, {8, 9, 2}}, 1},
        {"more clusters between than the file has", {{2, 3, 0}, {5, 6, unknown}, {7, 8, unknown}, {8, 9, 2}}, 0},
        {"the file's clusters out of order", {{2, 3, 3}, {8, 9, 2}}, 0},
    };
    for (const auto& row : rows) {
        salvage::ClaimList claims{};
        for (const Piece& p : row.pieces)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{p.begin * c, p.end * c, 2, 0, 0,
                                                                    p.file == unknown ? unknown : p.file * c});
        salvage::sort_claims(&claims);
        EXPECT_EQ(salvage::others_in_order(&claims, 0, c, 0, 16, 1, 0, 16), row.in_order) << row.name;
        salvage::free_claims(&claims);
    }
}
