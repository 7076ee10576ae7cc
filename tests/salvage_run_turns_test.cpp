#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "salvage/layout_join.h"
#include "salvage/run_turns.h"

// Hand-made layouts whose answer is known. A letter is a cluster of file A or B (a capital: a
// located piece with its file offset), '.' a free cluster; the k-th cluster of a file in the layout
// is the file's cluster k. Beside the layout, pieces a wrong find could be: a short piece or a piece
// a cluster long of another file without its file offset, or a piece of the file whose file offset
// sits off the clusters' grid. `settled` names the file each cluster is given to ('-': none); a
// count that evidence contradicts gives nothing.
TEST(SalvageRunTurns, AGapIsSettledOnlyWhereTheCountLeavesOneWay)
{
    enum Kind { short_find, long_find, off_grid };
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
