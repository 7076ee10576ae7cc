#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "salvage/cut_join.h"
#include "salvage/free_runs.h"
#include "salvage/layout_join.h"
#include "salvage/run_witness.h"
#include "salvage/sound_gaps.h"
#include "tests/analysis_fixture.h"

// Files written at once: their runs taken in turn, sound placed in the clusters the other's
// pieces leave free, gaps settled together, and the runs the layout shows.
// Two files taking turns on a card of clusters of `c` bytes, runs[f] clusters at a time; with
// `odds` (0: never), one turn in odds leaves a free cluster that nothing claims behind it.
struct TakingTurns {
    uint64_t c;
    std::vector<uint64_t> at[2];  // the image cluster of each cluster of each file

    template <typename Random>
    TakingTurns(uint64_t cluster, uint64_t need, const uint32_t runs[2], uint32_t odds, Random& random)
        : TakingTurns(cluster, need, need, runs, odds, random)
    {
    }
    // the files `first` and `second` clusters long: the one that ends first leaves the turns to the other
    template <typename Random>
    TakingTurns(uint64_t cluster, uint64_t first, uint64_t second, const uint32_t runs[2], uint32_t odds,
                Random& random)
        : c(cluster)
    {
        const uint64_t need[2] = {first, second};
        for (uint64_t next = 0; at[0].size() < need[0] || at[1].size() < need[1];)
            for (int f = 0; f < 2; f++) {
                for (uint32_t k = runs[f]; k > 0 && at[f].size() < need[f]; k--)
                    at[f].push_back(next++);
                next += odds && random(odds) == 0;
            }
    }
    uint64_t image(int f, uint64_t b) const { return at[f][b / c] * c + b % c; }
    // bytes [from, to) of file f as located pieces of clip f + 1, cluster by cluster
    void claim(salvage::ClaimList* claims, int f, uint64_t from, uint64_t to) const
    {
        for (uint64_t b = from; b < to; b = (b / c + 1) * c)
            basics::list_append(&claims->spans, salvage::ClaimedSpan{image(f, b), image(f, b) + std::min(to - b, c - b % c),
                                                                     uint32_t(f + 1), 0, 0, b});
    }
};

// Two files written at once, their clusters alternating in runs of one length, 1 to 6 clusters
// (now and then a free cluster between), each a row of units: a video chunk and a kkad box
// (located, claimed) with sound between. Sound in one run with its chunk is placed; the rest are
// gaps, weighed together: every gap settled must lie in two runs, cut exactly where they break,
// and of the gaps in two runs a quarter at least are settled. Sound in three runs is never settled.
TEST(SalvageFreeRuns, SoundGapsSettledTogetherOnlyWhereTheRunsBreak)
{
    constexpr uint64_t c = 64, unit = 270, video = 150, sound = 100, units = 12;
    image::ImageGeometry g{0, c, 0};
    uint64_t settled = 0, two_runs = 0;
    for (uint32_t seed = 1; seed <= 300; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        const uint32_t run = 1 + random(6), runs[2] = {run, run};
        const TakingTurns card(c, units * unit / c + 1, runs, 3, random);
        auto image = [&](int f, uint64_t b) { return card.image(f, b); };
        auto cut = [&](int f, uint64_t lo, uint64_t hi) {  // the run break in (lo, hi]; 0: none
            for (uint64_t e = (lo / c + 1) * c; e <= hi; e += c)
                if (card.at[f][e / c] != card.at[f][e / c - 1] + 1)
                    return e;
            return uint64_t(0);
        };
        salvage::ClaimList claims{};
        auto claim = [&](int f, uint64_t from, uint64_t to) { card.claim(&claims, f, from, to); };
        for (int f = 0; f < 2; f++)
            for (uint64_t u = 0; u < units; u++) {
                uint64_t s = u * unit + video;
                claim(f, u * unit, s);
                claim(f, s + sound, (u + 1) * unit);
                if (!cut(f, s - 1, s + sound))
                    claim(f, s, s + sound);
            }
        salvage::sort_claims(&claims);
        for (int f = 0; f < 2; f++)
            for (uint64_t u = 0; u < units; u++) {
                uint64_t s = u * unit + video;
                uint64_t e = cut(f, s - 1, s + sound);
                two_runs += e && !cut(f, e, s + sound);
                if (e)
                    salvage::note_sound_gap(&g, 1 << 20, {s - 1, image(f, s - 1)}, {s + sound, image(f, s + sound)}, s,
                                            sound, &claims, uint32_t(f + 1), 0, &claims.gaps);
            }
        salvage::settle_sound_gaps(&g, &claims);
        for (uint64_t i = 0; i < claims.settled.count; i++) {
            const salvage::SoundGap* s = &claims.settled.items[i];
            EXPECT_EQ(s->edges[0], cut(int(s->clip) - 1, s->lo_file, s->hi_file)) << "seed " << seed;
            EXPECT_EQ(cut(int(s->clip) - 1, s->edges[0], s->hi_file), 0u) << "seed " << seed;
        }
        settled += claims.settled.count;
        salvage::free_claims(&claims);
    }
    EXPECT_GT(4 * settled, two_runs) << settled << " of " << two_runs;
}

// Two files taking turns with runs of a fixed length each (now and then a free cluster between),
// one of them ending first with its movie box, their video, metadata and movie boxes located (now
// and then a piece claimed by both), their sound in runs nothing holds; now and then a video
// chunk whose last cluster begins a run is located only up to that cluster, its tail open in
// front of its sound: every sound, or tail and sound, placed in the free clusters lies byte for
// byte where the file's clusters are, and so do its last bytes asked for alone. Video chunks
// long, or shorter than a cluster with the metadata (a B-frame's): then the cluster between two
// sounds is both sounds' own.
struct UnitShape {
    uint64_t unit, video, sound;
};

class SoundInFreeRuns : public ::testing::TestWithParam<UnitShape> {};

TEST_P(SoundInFreeRuns, LiesWhereTheFileDoes)
{
    constexpr uint64_t c = 64, movie = 100;
    const uint64_t unit = GetParam().unit, video = GetParam().video, sound = GetParam().sound;
    image::ImageGeometry g{0, c, 0};
    uint64_t placed[2] = {}, open[2] = {};
    for (uint32_t seed = 1; seed <= 300; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        const uint32_t runs[2] = {1 + random(5), 1 + random(5)};
        const int stray = int(random(2));  // 1: free clusters break the turns
        const uint64_t units[2] = {12, 6 + random(7)};
        const uint64_t need[2] = {(units[0] * unit + movie) / c + 1, (units[1] * unit + movie) / c + 1};
        const TakingTurns card(c, need[0], need[1], runs, stray ? 4 : 0, random);
        auto image = [&](int f, uint64_t b) { return card.image(f, b); };
        salvage::ClaimList claims{};
        // the first byte of each chunk's open tail: the edge its last cluster begins at; 0: none
        std::vector<uint64_t> tail[2];
        for (int f = 0; f < 2; f++) {
            for (uint64_t u = 0; u < units[f]; u++) {
                uint64_t s = u * unit + video, edge = (s - 1) / c * c;
                tail[f].push_back(edge > u * unit && image(f, edge) != image(f, edge - 1) + 1 && random(2) ? edge : 0);
                card.claim(&claims, f, u * unit, tail[f][u] ? edge : s), card.claim(&claims, f, s + sound, (u + 1) * unit);
            }
            // the movie box ends the file
            uint64_t end = units[f] * unit + movie, last = card.image(f, end - 1) / c * c;
            card.claim(&claims, f, units[f] * unit, end);
            basics::list_append(&claims.spans, salvage::ClaimedSpan{std::max(last, card.image(f, units[f] * unit)),
                                                                     card.image(f, end - 1) + 1, uint32_t(f + 1), 0});
            claims.spans.items[claims.spans.count - 1].bound = salvage::file_ends;
        }
        // now and then a piece of the second file claimed where the first's video lies, as a wrong find would
        for (uint32_t k = random(3); k > 0; k--) {
            uint64_t wrong = card.image(0, random(units[0]) * unit + random(video));
            basics::list_append(&claims.spans, salvage::ClaimedSpan{wrong, wrong + 1, 2, 0});
        }
        salvage::sort_claims(&claims);
        for (int f = 0; f < 2; f++)
            for (uint64_t u = 0; u < units[f]; u++) {
                uint64_t s = tail[f][u] ? tail[f][u] : u * unit + video, end = u * unit + video + sound;
                if (image(f, end) - image(f, s - 1) != end - s + 1)
                    salvage::note_open_sound({s - 1, image(f, s - 1)}, {end, image(f, end)}, s, end - s,
                                             uint32_t(f + 1), 0, &claims.open);
            }
        salvage::settle_free_runs(&g, &claims);
        for (uint64_t i = 0; i < claims.threaded.count; i++) {
            const salvage::ThreadedSound* t = &claims.threaded.items[i];
            int f = int(t->clip) - 1;
            salvage::ChunkPlace p;
            ASSERT_TRUE(salvage::threaded_place(&g, &claims, t->clip, {t->lo_file, t->lo_image},
                                                {t->hi_file, t->hi_image}, t->file, t->size, &p));
            for (uint64_t b = 0; b < t->size; b++)
                ASSERT_EQ(salvage::place_offset(&p, b), image(f, t->file + b)) << "seed " << seed << " byte " << b;
            // the bytes behind an open tail settled since: lo where the file puts it in the same
            // clusters places them where the file does; lo a cluster off places nothing
            uint64_t from = t->file + t->size / 2, rest = t->file + t->size - from;
            ASSERT_TRUE(salvage::threaded_place(&g, &claims, t->clip, {from - 1, image(f, from - 1)},
                                                {t->hi_file, t->hi_image}, from, rest, &p));
            for (uint64_t b = 0; b < rest; b++)
                ASSERT_EQ(salvage::place_offset(&p, b), image(f, from + b)) << "seed " << seed << " byte " << b;
            EXPECT_FALSE(salvage::threaded_place(&g, &claims, t->clip, {from - 1, image(f, from - 1) + c},
                                                 {t->hi_file, t->hi_image}, from, rest, &p));
        }
        placed[stray] += claims.threaded.count;
        open[stray] += claims.open.count;
        salvage::free_claims(&claims);
    }
    // with the turns unbroken the runs tell where nearly every sound lies
    EXPECT_GT(2 * placed[0], open[0]) << placed[0] << " of " << open[0];
    EXPECT_GT(placed[1], 0u);
}

INSTANTIATE_TEST_SUITE_P(SalvageFreeRuns, SoundInFreeRuns,
                         ::testing::Values(UnitShape{600, 300, 200}, UnitShape{300, 20, 250}));

// Two files written at once taking turns in runs (now and then a free cluster between), each a row
// of units (a video chunk and metadata, located) with sound between; the first ends with its last
// unit's sound, the second ends before or after it, its sound now and then not located. The
// first's last sound, placed behind its last chunk by the second's runs (behind the second's last
// located piece, by the runs that repeat in front), lies byte for byte where the file's clusters
// are; where the second outlives it and the turns are unbroken most are placed.
TEST(SalvageFreeRuns, LastSoundByTheOtherFilesRunsLiesWhereTheFileDoes)
{
    constexpr uint64_t c = 64, unit = 600, video = 300, sound = 200;
    image::ImageGeometry g{0, c, 0};
    uint64_t placed[2] = {}, tried[2] = {};
    for (uint32_t seed = 1; seed <= 400; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        const uint32_t runs[2] = {1 + random(5), 1 + random(5)};
        const int stray = int(random(2));
        const uint64_t units[2] = {8, 5 + random(7)};
        const uint64_t size[2] = {(units[0] - 1) * unit + video + sound, units[1] * unit};
        const TakingTurns card(c, (size[0] + c - 1) / c, (size[1] + c - 1) / c, runs, stray ? 4 : 0, random);
        salvage::ClaimList claims{};
        for (uint64_t u = 0; u < units[0]; u++) {
            card.claim(&claims, 0, u * unit, u * unit + video);
            if (u + 1 < units[0])
                card.claim(&claims, 0, u * unit + video + sound, (u + 1) * unit);
        }
        for (uint64_t u = 0; u < units[1]; u++)
            card.claim(&claims, 1, u * unit, u * unit + (u + 1 == units[1] || random(3) ? unit : video));
        salvage::sort_claims(&claims);
        const uint64_t s = size[0] - sound;
        salvage::ChunkPlace p;
        // the second's last cluster in front of the first's: only the runs in front show the first's
        const int ended = card.at[1].back() < card.at[0].back();
        tried[stray] += !ended;
        if (salvage::free_runs_to_end(&g, &claims, 1, 0, {s - 1, card.image(0, s - 1)}, s, sound, &p)) {
            placed[stray]++;
            for (uint64_t b = 0; b < sound; b++)
                ASSERT_EQ(salvage::place_offset(&p, b), card.image(0, s + b)) << "seed " << seed << " byte " << b;
        }
        salvage::free_claims(&claims);
    }
    EXPECT_GT(2 * placed[0], tried[0]) << placed[0] << " of " << tried[0];
}

// Two files taking turns with runs of lengths of their own, each turn drawn anew (now and then a
// free cluster between), the second file's clusters located but now and then one: at every
// cluster edge of the first file, the run behind it is where the layout puts it (the run going on,
// or the first cluster the second file's pieces leave) only where that is where the file's bytes
// lie: with every cluster located and none free at every edge, else at a quarter at least.
TEST(SalvageFreeRuns, TheLayoutPutsARunOnlyWhereTheFileIs)
{
    constexpr uint64_t c = 64, clusters = 40;
    image::ImageGeometry g{0, c, 0};
    uint64_t sloppy_proven = 0, sloppy_edges = 0;
    for (uint32_t seed = 1; seed <= 200; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        const bool sloppy = seed % 2;  // free clusters between the turns, clusters of the second not located
        TakingTurns card(c, clusters, std::vector<uint32_t>{1, 1}.data(), 0, random);
        card.at[0].clear(), card.at[1].clear();
        for (uint64_t next = 0; card.at[0].size() < clusters || card.at[1].size() < clusters;)
            for (int f = 0; f < 2; f++) {
                for (uint32_t k = 1 + random(5); k > 0 && card.at[f].size() < clusters; k--)
                    card.at[f].push_back(next++);
                next += sloppy && random(4) == 0;
            }
        uint64_t size = (std::max(card.at[0].back(), card.at[1].back()) + 1) * c;
        salvage::ClaimList claims{};
        for (uint64_t b = 0; b < clusters; b++)
            if (!sloppy || random(6))
                card.claim(&claims, 1, b * c, b * c + c);
        salvage::sort_claims(&claims);
        salvage::JoinWindow window{&claims, 1, 0};
        uint64_t proven = 0, edges = 0;
        for (uint64_t e = c; e + 2 * c < clusters * c; e += c, edges++) {
            uint64_t head_end = card.image(0, e - 1) + 1, truth = card.image(0, e);
            uint64_t file = e + random(uint32_t(std::min<uint64_t>(8 * c, clusters * c - e)));
            salvage::JoinAnchor next{file, card.image(0, file)};
            uint64_t left = salvage::first_cluster_left(&g, size, &window, head_end);
            for (uint64_t at : {head_end, left}) {
                if (at == UINT64_MAX || !salvage::layout_puts_run(&g, size, &window, head_end, e, at, next))
                    continue;
                EXPECT_EQ(at, truth) << "seed " << seed << " edge " << e;
                proven++;
            }
        }
        if (!sloppy) {
            EXPECT_EQ(proven, edges) << "seed " << seed;
        }
        sloppy_proven += sloppy ? proven : 0, sloppy_edges += sloppy ? edges : 0;
        salvage::free_claims(&claims);
    }
    // with a cluster left out here and there, the layout still shows a quarter of the runs at least
    EXPECT_GT(4 * sloppy_proven, sloppy_edges) << sloppy_proven << " of " << sloppy_edges;
}
