#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "salvage/cluster_count.h"

using salvage::CountedCluster;

namespace {

// A stretch written as one word per cluster: "a3" the recording's piece of its file's cluster 3,
// "b7" the other's of its cluster 7, "a" / "b" a piece of that file whose offset is not shown,
// "." nothing located.
std::vector<CountedCluster> stretch(const std::string& words)
{
    std::vector<CountedCluster> out;
    std::istringstream in(words);
    for (std::string w; in >> w;) {
        CountedCluster c{salvage::count_unknown, UINT64_MAX};
        if (w[0] != '.')
            c.owner = w[0] == 'a' ? salvage::count_own : salvage::count_other;
        if (w.size() > 1)
            c.file = std::stoull(w.substr(1));
        out.push_back(c);
    }
    return out;
}

// The recording's file cluster each way puts there, "-" where they differ or put the other's.
std::string forced(const std::vector<uint64_t>& own)
{
    std::string out;
    for (uint64_t f : own)
        out += std::string(out.empty() ? "" : " ") + (f == UINT64_MAX ? "-" : std::to_string(f));
    return out;
}

}  // namespace

TEST(SalvageClusterCount, CountsLeaveOneWayOrSayWhereTheyDiffer)
{
    struct Row {
        const char* name;
        const char* known;
        int fits;
        const char* expected;
    } rows[] = {
        {"the run goes on between two pieces as far apart as in the file", "a0 . . a3", 1, "0 1 2 3"},
        {"one of two clusters is the recording's: either", "a0 . . a2", 1, "0 - - 2"},
        {"a cluster shown as the other's leaves the other to the recording", "a0 b . a2", 1, "0 - 1 2"},
        {"the other's pieces in one run leave the clusters between them to the recording", "a0 b4 . . b5 a3", 1,
         "0 - 1 2 - 3"},
        {"the other's count behind a cut settles where the recording's runs lie", "a0 . . b11 . . b12 b13 a4", 1,
         "0 - - - 2 3 - - 4"},
        {"the recording's pieces further apart in the file than on the card", "a0 . a5", 0, ""},
        {"the other's pieces out of the order of its file", "a0 b5 b3 a3", 0, ""},
        {"the other's count leaves too few clusters for the recording", "a0 b4 . . b7 a2", 0, ""},
        {"the recording's clusters in front of its first piece are not counted", "b0 . a2", 1, "- - 2"},
        {"no cluster of the other's file lies in front of its first", "a0 . . b0 . . a3", 1, "0 1 2 - - - 3"},
    };
    for (const Row& row : rows) {
        std::vector<CountedCluster> known = stretch(row.known);
        std::vector<uint64_t> own(known.size(), 0);
        int fits = salvage::count_stretch(known.data(), known.size(), own.data());
        EXPECT_EQ(fits, row.fits) << row.name;
        if (fits && row.fits) {
            EXPECT_EQ(forced(own), row.expected) << row.name;
        }
    }
}

// Two files written at once in runs of 1 to 8 clusters, some of their clusters located (with
// their file offsets or without): every cluster a count settles is the recording's cluster it
// says, and with pieces as dense as a chunk's samples most of the stretch is settled.
TEST(SalvageClusterCount, WhatTheCountSettlesIsTheCamerasLayout)
{
    uint64_t settled = 0, own_clusters = 0;
    for (uint32_t seed = 1; seed <= 400; seed++) {
        std::mt19937 random(seed);
        std::vector<int> owner;
        std::vector<uint64_t> file;
        uint64_t next[2] = {0, 100};
        for (int f = 0; owner.size() < 120; f ^= 1)
            for (uint32_t k = 1 + random() % (1 + seed % 8); k > 0; k--)
                owner.push_back(f), file.push_back(next[f]++);
        std::vector<CountedCluster> known(owner.size(), CountedCluster{salvage::count_unknown, UINT64_MAX});
        uint32_t odds = 2 + seed % 4;
        for (size_t i = 0; i < owner.size(); i++) {
            uint32_t r = random() % odds;
            if (r == 0 || (r == 1 && seed % 3 == 0))
                known[i] = CountedCluster{uint8_t(owner[i] ? salvage::count_other : salvage::count_own),
                                          r == 0 ? file[i] : UINT64_MAX};
        }
        // the stretch from the recording's first located piece to its last
        size_t first = 0, last = owner.size() - 1;
        while (first < last && !(owner[first] == 0 && known[first].file != UINT64_MAX))
            first++;
        while (last > first && !(owner[last] == 0 && known[last].file != UINT64_MAX))
            last--;
        if (last - first < 2)
            continue;
        std::vector<uint64_t> own(last - first + 1);
        ASSERT_EQ(salvage::count_stretch(known.data() + first, own.size(), own.data()), 1) << "seed " << seed;
        for (size_t i = 0; i < own.size(); i++) {
            own_clusters += owner[first + i] == 0;
            if (own[i] == UINT64_MAX)
                continue;
            ASSERT_EQ(owner[first + i], 0) << "seed " << seed << " cluster " << i;
            ASSERT_EQ(own[i], file[first + i]) << "seed " << seed << " cluster " << i;
            settled++;
        }
    }
    EXPECT_GT(settled * 2, own_clusters);
}
