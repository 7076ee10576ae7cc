#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rebuild/clip_write_state.h"

namespace {

constexpr int64_t U = rebuild::cluster_unset;
constexpr int64_t X = rebuild::cluster_conflict;

struct Assign {
    uint64_t f, p, n, b;
};

std::vector<int64_t> entries(const rebuild::ClusterMap& map) { return {map.entries, map.entries + map.count}; }

TEST(ClusterMap, AssignKeepsPhaseAndMarksConflicts)
{
    // cluster size 16, file size 64: 4 clusters + 2 = 6 entries
    struct Case {
        const char* name;
        std::vector<Assign> assigns;
        std::vector<int64_t> expected;
    } cases[] = {
        {"aligned run over three clusters", {{0, 1000, 40, 1000}}, {1000, 1016, 1032, U, U, U}},
        {"mid-cluster start with matching phase", {{20, 1020, 10, 1000}}, {U, 1016, U, U, U, U}},
        {"phase differs: no trace", {{20, 1021, 10, 1000}}, {U, U, U, U, U, U}},
        {"image offset below the in-cluster offset: no trace", {{20, 3, 10, 15}}, {U, U, U, U, U, U}},
        {"zero length: no trace", {{0, 1000, 0, 1000}}, {U, U, U, U, U, U}},
        {"last cluster past the map: no trace", {{80, 1080, 20, 1000}}, {U, U, U, U, U, U}},
        {"last cluster is the last entry", {{80, 1080, 16, 1000}}, {U, U, U, U, U, 1080}},
        {"same position twice stays", {{0, 1000, 16, 1000}, {0, 1000, 16, 1000}}, {1000, U, U, U, U, U}},
        {"two positions for one cluster conflict", {{0, 1000, 16, 1000}, {0, 2008, 16, 1000}}, {X, U, U, U, U, U}},
        {"a conflict is never overwritten", {{0, 1000, 16, 1000}, {0, 2008, 16, 1000}, {0, 1000, 16, 1000}},
         {X, U, U, U, U, U}},
        {"base not cluster aligned", {{16, 1013, 16, 997}}, {U, 1013, U, U, U, U}},
    };
    for (const Case& c : cases) {
        rebuild::ClusterMap map;
        rebuild::cluster_map_init(&map, 64, 16);
        ASSERT_EQ(map.count, 6u);
        for (const Assign& a : c.assigns)
            rebuild::cluster_map_assign(&map, a.f, a.p, a.n, a.b);
        EXPECT_EQ(entries(map), c.expected) << c.name;
        rebuild::cluster_map_free(&map);
    }
}

TEST(ClusterMap, GapFillingOnlyBetweenClustersAsFarApartInTheImage)
{
    struct Case {
        const char* name;
        std::vector<int64_t> before, after;
    } cases[] = {
        {"five clusters apart both ways", {1000, U, U, U, U, 1080}, {1000, 1016, 1032, 1048, 1064, 1080}},
        {"image distance differs", {1000, U, U, U, U, 1081}, {1000, U, U, U, U, 1081}},
        {"image order reversed", {1080, U, U, U, U, 1000}, {1080, U, U, U, U, 1000}},
        {"conflict inside a gap stays", {1000, U, X, U, U, 1080}, {1000, 1016, X, 1048, 1064, 1080}},
        {"each set entry starts a new gap", {1000, U, 1032, U, 5000, U}, {1000, 1016, 1032, U, 5000, U}},
        {"adjacent set entries", {1000, 2000, U, U, U, U}, {1000, 2000, U, U, U, U}},
        {"nothing set", {U, U, U, U, U, U}, {U, U, U, U, U, U}},
    };
    for (const Case& c : cases) {
        rebuild::ClusterMap map;
        rebuild::cluster_map_init(&map, 64, 16);
        std::copy(c.before.begin(), c.before.end(), map.entries);
        rebuild::cluster_map_fill_gaps(&map);
        EXPECT_EQ(entries(map), c.after) << c.name;
        rebuild::cluster_map_free(&map);
    }
}

TEST(ClusterMap, BuiltFromHeaderAndLocatedChunks)
{
    // H = 1000, cluster size 16, file size 100: 7 + 2 entries.
    mp4::MovieInfo movie{};
    uint64_t offsets[2] = {64, 40}, sizes[2] = {16, 8};
    movie.video.chunk_offsets = offsets, movie.video.chunk_sizes = sizes, movie.video.chunk_count = 2;
    analysis::RecoveryClip clip{};
    clip.movie = &movie;
    struct Case {
        const char* name;
        uint8_t located[2];
        uint64_t at[2];
        std::vector<int64_t> expected;
    } cases[] = {
        {"header only", {0, 0}, {0, 0}, {1000, 1016, U, U, U, U, U, U, U}},
        {"contiguous chunk fills the gap", {1, 0}, {1064, 0}, {1000, 1016, 1032, 1048, 1064, U, U, U, U}},
        {"chunk off phase leaves no trace", {0, 1}, {0, 1041}, {1000, 1016, U, U, U, U, U, U, U}},
        {"chunk elsewhere on the card", {1, 1}, {5064, 5056}, {1000, 1016, 5048, U, 5064, U, U, U, U}},
    };
    for (const Case& c : cases) {
        rebuild::ClipWriteState state{};
        state.clip = &clip, state.header_offset = 1000, state.header_length = 20, state.file_size = 100;
        state.located = c.located, state.located_at = c.at;
        rebuild::build_cluster_map(&state, 16);
        EXPECT_EQ(entries(state.map), c.expected) << c.name;
        rebuild::cluster_map_free(&state.map);
    }
}

}  // namespace
