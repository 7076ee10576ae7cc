#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "salvage/layout_join.h"
#include "salvage/run_turns.h"
#include "tests/layout_oracle.h"

// Hand-made layouts whose answer is known. A letter is a cluster of file A or B (a capital: a
// located piece with its file offset), '.' a free cluster; the k-th cluster of a file in the layout
// is the file's cluster k. Beside the layout, pieces a wrong find could be: a short piece or a piece
// a cluster long of another file without its file offset, a piece of the file whose file offset
// sits off the clusters' grid; or a piece of another file placed where one boundary would put it,
// which where there are more boundaries reaches over the file's cluster and shows no order of its
// own. `settled` names the file each cluster is given to ('-': none); a count that evidence
// contradicts gives nothing.
TEST(SalvageRunTurns, AGapIsSettledOnlyWhereTheCountLeavesOneWay)
{
    enum Kind { short_find, long_find, off_grid, inferred };
    struct Find {
        uint64_t cluster;
        char file;
        Kind kind;
        uint64_t file_cluster;  // off_grid: the file's cluster the piece says it is
    };
    struct Row {
        const char* name;
        const char* layout;
        std::vector<Find> finds;
        const char* settled;
    };
    const Row rows[] = {
        {"one cluster between the other's", "ABaBA", {}, "--A--"},
        {"runs of two", "AABBaaBBAA", {}, "----AA----"},
        {"a free cluster more than the file needs", "A.aA", {}, "----"},
        {"a short find of another on the file's cluster", "Aa.A", {{1, 'B', short_find, 0}}, "----"},
        {"the other's pieces take more clusters than its file has", "ABaB.A", {{2, 'B', long_find, 0}}, "------"},
        {"a piece of its own out of the count's order", "AaaA", {{1, 'A', off_grid, 2}}, "----"},
        {"a piece off the clusters' grid pairs with none", "A.aaA", {{2, 'A', off_grid, 2}}, "-----"},
        {"one file's count settled leaves the other's one way", "BAbBaA", {}, "--B-A-"},
        {"another's piece placed by one assumed boundary on the file's cluster", "ABaBA", {{2, 'B', inferred, 0}}, "--A--"},
    };
    constexpr uint64_t c = 64;
    image::ImageGeometry g{0, c, 0};
    for (const Row& row : rows) {
        const std::string layout = row.layout;
        std::vector<uint64_t> index(layout.size());
        uint64_t seen[2] = {};
        salvage::ClaimList claims{};
        for (uint64_t k = 0; k < layout.size(); k++) {
            if (layout[k] == '.')
                continue;
            uint32_t f = uint32_t(std::toupper(layout[k]) - 'A');
            index[k] = seen[f]++;
            if (std::isupper(layout[k]))
                basics::list_append(&claims.spans, salvage::ClaimedSpan{k * c + 5, k * c + c - 5, f + 1, 0, 0,
                                                                        index[k] * c + 5});
        }
        for (const Find& x : row.finds) {
            uint64_t b = x.cluster * c + 5;
            uint32_t clip = uint32_t(x.file - 'A' + 1);
            if (x.kind == off_grid)
                basics::list_append(&claims.spans, salvage::ClaimedSpan{b, b + 10, clip, 0, 0, x.file_cluster * c + 40});
            else if (x.kind == inferred)
                basics::list_append(&claims.spans,
                                    salvage::ClaimedSpan{x.cluster * c, x.cluster * c + c, clip, 0, 0, UINT64_MAX, 1});
            else
                basics::list_append(&claims.spans,
                                    salvage::ClaimedSpan{x.cluster * c, x.cluster * c + (x.kind == long_find ? c : 20),
                                                         clip, 0, 0, UINT64_MAX});
        }
        salvage::sort_claims(&claims);
        salvage::settle_turns(&g, &claims);
        std::string settled(layout.size(), '-');
        for (uint64_t i = 0; i < claims.spans.count; i++) {
            const salvage::ClaimedSpan& s = claims.spans.items[i];
            if (s.begin % c != 0 || s.end - s.begin != c || s.file == UINT64_MAX)
                continue;  // not one counting adds
            uint64_t k = s.begin / c;
            settled[k] = char('A' + s.clip - 1);
            EXPECT_EQ(s.file, index[k] * c) << row.name << ": cluster " << k;
        }
        EXPECT_EQ(settled, row.settled) << row.name;
        salvage::free_claims(&claims);
    }
}

// Two or three files taking clusters in turn, now and then a free cluster that nothing claims; some
// of their clusters located with their file offsets, some runs' rests in one piece whose file offsets
// are not known. Every layout those pieces allow (each cluster not shown any file's or free, each
// located piece the file's cluster its offset says, each file's clusters in its order) may be the
// card: a cluster counting gives a file must be that file's, at the file offset given, in every one.
TEST(SalvageRunTurns, ACountedClusterIsTheFilesInEveryLayoutThePiecesAllow)
{
    constexpr uint64_t c = 64;
    image::ImageGeometry g{0, c, 0};
    uint64_t settled = 0;
    for (uint32_t seed = 1; seed <= 600; seed++) {
        fixture::Draw random{seed};
        const uint32_t files = 2 + random(2), odds = random(2) ? 5 : 0, length = 24 + random(25);
        std::vector<uint32_t> runs(files);
        for (uint32_t& r : runs)
            r = 1 + random(6);
        std::vector<uint32_t> truth;  // the file of each cluster, 0: free
        while (truth.size() < length)
            for (uint32_t f = 1; f <= files && truth.size() < length; f++) {
                for (uint32_t k = runs[f - 1]; k > 0 && truth.size() < length; k--)
                    truth.push_back(f);
                if (odds && random(odds) == 0 && truth.size() < length)
                    truth.push_back(0);
            }
        // what the pieces show of each cluster: the file's (0: nothing), and its file cluster
        std::vector<uint32_t> shown(length, 0);
        std::vector<uint64_t> index(length, UINT64_MAX), seen(files + 1, 0);
        salvage::ClaimList claims{};
        for (uint64_t k = 0; k < length; k++) {
            uint32_t f = truth[k];
            if (f == 0)
                continue;
            uint64_t i = seen[f]++;
            if (random(3) == 0) {
                shown[k] = f, index[k] = i;
                basics::list_append(&claims.spans, salvage::ClaimedSpan{k * c + 5, k * c + c - 5, f, 0, 0, i * c + 5});
            }
            // a piece over the rest of its run (a chunk walked up to where its run ends)
            uint64_t n = 1;
            while (k + n < length && truth[k + n] == f)
                n++;
            if (n > 1 && random(4) == 0) {
                for (uint64_t j = k; j < k + n; j++)
                    shown[j] = f;
                basics::list_append(&claims.spans, salvage::ClaimedSpan{k * c + 7, (k + n) * c - 7, f, 0, 0});
            }
        }
        const auto one = fixture::every_layout(files, shown, index, true);
        salvage::sort_claims(&claims);
        uint64_t before = claims.spans.count, found = 0;
        salvage::settle_turns(&g, &claims);
        for (uint64_t i = 0; i < claims.spans.count; i++) {
            const salvage::ClaimedSpan& s = claims.spans.items[i];
            if (s.begin % c != 0)
                continue;  // one located
            found++;
            ASSERT_EQ(s.end - s.begin, c);
            ASSERT_LT(s.begin / c, length);
            EXPECT_EQ(one[s.begin / c], std::make_pair(s.clip, s.file / c)) << "seed " << seed << ": cluster " << s.begin / c;
        }
        EXPECT_EQ(claims.spans.count - before, found) << "seed " << seed;
        settled += found;
        salvage::free_claims(&claims);
    }
    // rooms counted together where none settles alone (each room alone: 980)
    EXPECT_GE(settled, 1117u);
}
