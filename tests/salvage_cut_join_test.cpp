#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "salvage/cut_join.h"
#include "salvage/free_runs.h"
#include "salvage/last_chunk.h"
#include "salvage/layout_join.h"
#include "salvage/run_witness.h"
#include "salvage/sound_gaps.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 512;           // the card's clusters
constexpr uint64_t chunk_file = 100;   // where the chunk starts in the camera's file
const std::vector<uint32_t> sizes = {300, 120, 130, 140, 150, 160, 170, 180, 190, 200, 210, 220};

// The camera's file from its start to a little behind the chunk of samples `of`.
Bytes camera_file(const std::vector<uint32_t>& of = sizes)
{
    Bytes f(chunk_file, 0x5A);
    for (size_t i = 0; i < of.size(); i++)
        mkcard::put_bytes(f, fixture::avc_sample(of[i], i == 0));
    f.resize((f.size() / cs + 2) * cs, 0x77);  // sound behind the chunk
    return f;
}

// Foreign bytes that start like the chunk's rest: its first NAL length fits, nothing after it does.
Bytes look_alike(const Bytes& rest)
{
    Bytes b(cs);
    uint32_t x = 12345;
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    std::memcpy(b.data(), rest.data(), 16);
    return b;
}

struct JoinCase {
    const char* name;
    int planted;       // runs of foreign clusters that start like the chunk's rest: 0, 1 (in the rest's place), 2
    int second_copy;   // a second run holding the rest whole, which a second anchor names; which a sample's
                       // head located in the rest's first cluster rules out: 2 the head's run going on, 3
                       // in front of the rest, where runs no piece vouches for are looked for too
    bool contiguous;   // the chunk lies in one run
    int expect;        // 1: the chunk joined across the first cluster edge inside it
};

TEST(SalvageCutJoin, JoinsOnlyWhatTheStructureProves)
{
    const JoinCase cases[] = {
        {"a cut chunk", 0, 0, false, 1},
        {"a planted look-alike run where the rest should be", 1, 0, false, 0},
        {"two runs both fit", 0, 1, false, 0},
        {"the head's run goes on into a copy of the rest: a located head pins the rest's first cluster", 0, 2,
         false, 1},
        {"a copy of the rest in front of it: a located head pins the rest's first cluster", 0, 3, false, 1},
        {"no cut at all", 0, 0, true, 0},
    };
    Bytes file = camera_file();
    uint64_t cut = (chunk_file / cs + 1) * cs;
    Bytes rest(file.begin() + cut, file.end());
    for (const JoinCase& c : cases) {
        // image: the file's first cluster, two foreign clusters, then the rest's run; a second copy
        // of the rest further on, or in front of the rest
        Bytes image = file;
        if (!c.contiguous) {
            image.resize(cut);
            if (c.second_copy != 2)
                image.resize(image.size() + 2 * cs, 0x00);
            if (c.second_copy >= 2)
                mkcard::put_bytes(image, rest);
            mkcard::put_bytes(image, c.planted ? look_alike(rest) : rest);
            image.resize(image.size() + (c.planted ? rest.size() - cs : 0), 0x00);
        }
        uint64_t tail_at = c.contiguous ? cut : cut + (c.second_copy == 2 ? 0 : 2 * cs);
        tail_at += !c.contiguous && c.second_copy >= 2 ? rest.size() : 0;
        uint64_t copy_at = image.size();
        if (c.second_copy == 1)
            mkcard::put_bytes(image, rest);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t end = file.size() - cs;  // a piece of the recording behind the chunk, in the rest's run
        salvage::JoinAnchor anchors[2] = {{end, tail_at + (end - cut)}, {end, copy_at + (end - cut)}};
        if (c.second_copy >= 2)
            anchors[0] = {cut + 8, tail_at + 8};
        salvage::ClaimList none{};
        salvage::JoinWindow window{&none, 1, 0};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        int got = salvage::join_video_chunk(img.f, img.size, &g, chunk_file, chunk_file, &s, codec::Syntax::avc,
                                            anchors, c.second_copy == 1 ? 2 : 1, 0,
                                            c.second_copy == 3 ? &window : nullptr, &out);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(out.cut, cut - chunk_file) << c.name;
            EXPECT_EQ(out.tail, tail_at) << c.name;
            Bytes joined(file.size() - chunk_file - cs);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), joined.size()));
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file)) << c.name;
        }
    }
}

TEST(SalvageCutJoin, SoundIsPlacedOnlyWhereTheLayoutLeavesOneChoice)
{
    image::ImageGeometry g{0, cs, 0};
    struct {
        const char* name;
        salvage::JoinAnchor lo, hi;
        uint64_t file, size;
        int expect;
        salvage::ChunkPlace place;
        int behind = 0;  // 1: the sound behind a chunk whose last byte is lo; 2: and nothing located after it
    } cases[] = {
        // lo at file 550 in image cluster 4, hi at file 1200 in image cluster 9
        {"one edge between", {550, 4 * cs + 38}, {1200, 9 * cs + 176}, 600, 500, 1, {4 * cs + 88, 424, 9 * cs}},
        {"two edges between, both inside", {450, 4 * cs + 450}, {1200, 9 * cs + 176}, 600, 500, 0, {}},
        {"the edge at hi: all in lo's run", {550, 4 * cs + 38}, {1024, 9 * cs}, 600, 400, 1, {4 * cs + 88, 0, 0}},
        {"not on the cluster grid", {550, 4 * cs + 39}, {1200, 9 * cs + 176}, 600, 500, 0, {}},
        // several edges between the pieces, none before the bytes' end, or none after their start
        {"edges only behind: all in lo's run", {550, 4 * cs + 38}, {2100, 9 * cs + 52}, 600, 400, 1, {4 * cs + 88, 0, 0}},
        {"edges only in front: all in hi's run", {100, 4 * cs + 100}, {1100, 9 * cs + 76}, 1036, 64, 1, {9 * cs + 12, 0, 0}},
        // the sound behind a chunk
        {"behind a chunk, no edge before its end", {599, 4 * cs + 87}, {}, 600, 400, 1, {4 * cs + 88, 0, 0}, 2},
        {"behind a chunk, an edge inside and nothing after", {599, 4 * cs + 87}, {}, 600, 500, 0, {}, 2},
        {"behind a chunk, the next piece in its run", {599, 4 * cs + 87}, {3000, 8 * cs + 440}, 600, 500, 1,
         {4 * cs + 88, 0, 0}, 1},
        {"behind a chunk, one edge to the next piece", {599, 4 * cs + 87}, {1200, 9 * cs + 176}, 600, 500, 1,
         {4 * cs + 88, 424, 9 * cs}, 1},
    };
    for (const auto& c : cases) {
        salvage::ChunkPlace out{};
        int got = c.behind ? salvage::join_sound_behind(&g, 1 << 20, c.lo, c.behind == 1 ? &c.hi : nullptr, c.file,
                                                        c.size, &out)
                           : salvage::join_between(&g, 1 << 20, c.lo, c.hi, c.file, c.size, &out);
        EXPECT_EQ(got, c.expect) << c.name;
        if (c.expect) {
            EXPECT_EQ(out.at, c.place.at) << c.name;
            EXPECT_EQ(out.cut, c.place.cut) << c.name;
            EXPECT_EQ(out.tail, c.place.tail) << c.name;
        }
    }
}

TEST(SalvageCutJoin, SoundAcrossSeveralEdgesOnlyWhereTheOtherRecordingsPiecesLeaveOne)
{
    image::ImageGeometry g{0, cs, 0};
    // bytes [600, 1400) of the file between lo (file 600) and hi (file 1900): edges 1024 and 1536
    const salvage::JoinAnchor lo{600, 4 * cs + 88}, hi{1900, 20 * cs + 364};
    const salvage::ClaimedSpan behind_head{5 * cs, 5 * cs + 100, 2, 0};     // right behind the head run cut at 1024
    const salvage::ClaimedSpan before_tail{18 * cs + 400, 19 * cs, 2, 0};  // right before the tail run
    // the tail run takes two clusters: a run of the file as long, between two of the other's
    const salvage::ClaimedSpan other_before{cs - 10, cs, 2, 0}, own_run{cs, 3 * cs, 1, 0, 0, 0};
    const salvage::ClaimedSpan other_after{3 * cs, 3 * cs + 10, 2, 0};
    struct {
        const char* name;
        std::vector<salvage::ClaimedSpan> claims;
        int expect;
    } cases[] = {
        {"another recording's pieces end both runs at one edge",
         {behind_head, before_tail, other_before, own_run, other_after}, 1},
        {"the tail run longer than the runs the file shows", {behind_head, before_tail}, 0},
        {"the file's run as long not between two of another's",
         {behind_head, before_tail, other_before, own_run, {3 * cs, 3 * cs + 10, 3, 0}}, 0},
        {"the other recording's run as long, between two of the file's",
         {behind_head, before_tail, {cs - 10, cs, 1, 0}, {cs, 3 * cs, 2, 0, 0, 0}, {3 * cs, 3 * cs + 10, 1, 0}}, 1},
        {"pieces of a run as long as far apart in the image as in the file",
         {behind_head, before_tail, other_before, {cs, cs + 10, 1, 0, 0, 0},
          {3 * cs - 10, 3 * cs, 1, 0, 0, 2 * cs - 10}, other_after}, 1},
        {"pieces farther apart in the image than in the file",
         {behind_head, before_tail, other_before, {cs, cs + 10, 1, 0, 0, 0},
          {3 * cs - 10, 3 * cs, 1, 0, 0, cs - 10}, other_after}, 0},
        {"nothing known behind the head run: both edges fit", {before_tail}, 0},
        {"the piece behind lies one cluster on: both edges fit", {{6 * cs, 6 * cs + 10, 2, 0}, before_tail}, 0},
        {"the recording's own pieces prove nothing", {{5 * cs, 5 * cs + 100, 1, 0}, {18 * cs + 400, 19 * cs, 1, 0}}, 0},
        {"another recording's piece inside the tail run: no edge left",
         {behind_head, before_tail, {19 * cs + 10, 19 * cs + 20, 3, 0}}, 0},
        // another recording's sound placed at the one edge its own claims leave, nothing proving it yet
        {"nothing known before the tail run", {behind_head}, 0},
        {"nothing known before the tail run, a run as long shown", {behind_head, other_before, own_run, other_after}, 0},
        {"another recording's guess lies before the tail run",
         {behind_head, {18 * cs + 400, 19 * cs, 2, 0, 1}, other_before, own_run, other_after}, 1},
        {"another recording's guess inside the tail run takes no edge away",
         {behind_head, before_tail, {19 * cs + 10, 19 * cs + 20, 3, 0, 1}, other_before, own_run, other_after}, 1},
        {"another recording's piece inferred between two of its edges takes no edge away",
         {behind_head, before_tail, {19 * cs + 10, 19 * cs + 20, 3, 0, 0, UINT64_MAX, 1}, other_before, own_run,
          other_after}, 1},
    };
    for (const auto& c : cases) {
        salvage::ClaimList claims{};
        for (const salvage::ClaimedSpan& x : c.claims)
            basics::list_append(&claims.spans, x);
        salvage::sort_claims(&claims);
        salvage::ChunkPlace out{};
        EXPECT_EQ(salvage::join_by_claims(&g, 1 << 20, lo, hi, 600, 800, &claims, 1, 0, &out), c.expect) << c.name;
        if (c.expect) {
            EXPECT_EQ(out.at, 4 * cs + 88) << c.name;
            EXPECT_EQ(out.cut, 424u) << c.name;
            EXPECT_EQ(out.tail, 19 * cs) << c.name;
        }
        basics::list_free(&claims.spans);
    }
}

TEST(SalvageCutJoin, AChunkCutTwiceOnlyWhereOneMiddleRunHoldsWholeSamples)
{
    // the file in runs: its clusters 0 | 1 | 2 on at image clusters 0, 2 and 4 on, foreign between;
    // or, wrapped, its cluster 0 at the heap's last and the others at 1 and 3 on
    Bytes file = camera_file();
    const Bytes head(file.begin(), file.begin() + cs), middle(file.begin() + cs, file.begin() + 2 * cs),
        rest(file.begin() + 2 * cs, file.end());
    const Bytes foreign = look_alike(middle);
    struct {
        const char* name;
        bool copy;        // a copy of the middle run right behind it too
        bool claimed;     // another recording's located piece lies where the middle run does
        bool window;      // runs behind a cut are looked for, not only where the anchor puts them
        bool wrapped;     // the file goes on at the heap's start behind its last cluster
        bool copy_behind; // a copy of the middle run behind the rest's run
        bool rest_claimed; // another recording's located piece lies between the rest's start and the anchor
        int expect;
    } cases[] = {
        {"the middle run found behind the first cut", false, false, true, false, false, false, 1},
        {"a copy of the middle run fits as well", true, false, true, false, false, false, 0},
        {"another recording's piece holds the middle run's place", false, true, true, false, false, false, 0},
        {"only where the anchor puts the rest", false, false, false, false, false, false, 0},
        {"the middle run at the heap's start behind the head at its end", false, false, true, true, false, false, 1},
        {"wrapped, a copy of the middle run fits as well", true, false, true, true, false, false, 0},
        {"a copy behind the rest's run is not where the file's next clusters go", false, false, true, false, true, false, 1},
        {"another recording's piece between the rest's place and the anchor", false, false, true, false, false, true, 0},
    };
    for (const auto& c : cases) {
        Bytes image;
        if (!c.wrapped)
            mkcard::put_bytes(image, head);
        uint64_t middle_at = image.size() + cs;
        for (const Bytes* run : {&foreign, &middle, c.copy ? &middle : &foreign, &rest})
            mkcard::put_bytes(image, *run);
        if (c.copy_behind)
            mkcard::put_bytes(image, middle);
        uint64_t head_at = image.size();
        if (c.wrapped)
            mkcard::put_bytes(image, head);
        else
            head_at = 0;
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t end = file.size() - cs;
        salvage::JoinAnchor anchor{end, middle_at + 2 * cs + (end - 2 * cs)};
        salvage::ClaimList claims{};
        if (c.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{middle_at + 10, middle_at + 20, 2, 0});
        if (c.rest_claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{middle_at + 2 * cs + 10, middle_at + 2 * cs + 20, 2, 0});
        salvage::sort_claims(&claims);
        salvage::JoinWindow window{&claims, 1, 0};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        int got = salvage::join_video_chunk(img.f, img.size, &g, chunk_file, head_at + chunk_file, &s,
                                            codec::Syntax::avc, &anchor, 1, 0, c.window ? &window : nullptr, &out);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(out.later, 1u) << c.name;
            EXPECT_EQ(out.tail, middle_at) << c.name;
            Bytes joined(end - chunk_file);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), joined.size()));
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file)) << c.name;
        }
        basics::list_free(&claims.spans);
    }
}

TEST(SalvageCutJoin, AChunkPlacedUpToItsOpenTailOnlyWhereOneWayLeavesIt)
{
    // the chunk from file offset 500: its last sample's last unit crosses the edge at 2560, behind
    // its length field. The image: the file's cluster 0, a foreign one, cluster 1, a foreign one (or
    // a copy of cluster 1), clusters 2 to 4, the cluster standing where the run would go on, then
    // cluster 5 on (the tail and the sound behind)
    constexpr uint64_t start = 500, open_edge = 2560;
    Bytes file(start, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(file, fixture::avc_sample(sizes[i], i == 0));
    uint64_t chunk_end = file.size();
    file.resize(6 * cs + 300, 0x77);
    auto cluster = [&](uint64_t k) {
        return Bytes(file.begin() + k * cs, file.begin() + std::min((k + 1) * cs, file.size()));
    };
    enum Behind { zeroed, claimed_copy, same_run, zeroed_anchor, head_zeroed };
    struct {
        const char* name;
        bool copy;      // a copy of the file's cluster 1 right behind it
        Behind behind;  // what stands where clusters 2 to 4's run would go on, and what else is known
        int expect;
        uint64_t open;  // the open tail's first byte in the file; 0: the chunk placed whole
    } cases[] = {
        {"the tail behind a run break, nothing placing it", false, zeroed, 1, open_edge},
        {"a copy of the middle run fits as well", true, zeroed, 0, 0},
        {"a copy of the tail where another recording's piece lies", false, claimed_copy, 1, open_edge},
        {"the tail goes on in the same run", false, same_run, 1, 0},
        {"a piece in the sound puts the tail's run", false, zeroed_anchor, 1, 0},
        {"the last sample's length fields not the camera's", false, head_zeroed, 0, 0},
    };
    for (const auto& c : cases) {
        Bytes image = cluster(0), middle = cluster(1), foreign = look_alike(middle), zeros(cs, 0);
        for (const Bytes* run : {&foreign, &middle, c.copy ? &middle : &zeros})
            mkcard::put_bytes(image, *run);
        for (uint64_t k = 2; k <= 4; k++)
            mkcard::put_bytes(image, cluster(k));
        uint64_t behind_at = image.size(), tail_at = behind_at + (c.behind == same_run ? 0 : cs);
        if (c.behind != same_run)
            mkcard::put_bytes(image, c.behind == claimed_copy ? cluster(5) : zeros);
        mkcard::put_bytes(image, cluster(5));
        mkcard::put_bytes(image, cluster(6));
        if (c.behind == head_zeroed)  // the last sample's first bytes, in cluster 4
            std::fill(image.begin() + (behind_at - cs) + (chunk_end - sizes.back()) % cs,
                      image.begin() + (behind_at - cs) + (chunk_end - sizes.back()) % cs + 12, 0);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::ClaimList claims{};
        if (c.behind == claimed_copy)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{behind_at + 10, behind_at + 20, 2, 0});
        salvage::sort_claims(&claims);
        salvage::JoinWindow window{&claims, 1, 0};
        salvage::JoinAnchor anchor{chunk_end + 20, tail_at + (chunk_end + 20 - open_edge)};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        uint64_t open = 1;
        int got = salvage::join_video_chunk(img.f, img.size, &g, start, start, &s, codec::Syntax::avc, &anchor,
                                            c.behind == zeroed_anchor ? 1 : 0, 0, &window, &out, &open);
        basics::list_free(&claims.spans);
        EXPECT_EQ(got, c.expect) << c.name;
        if (!got)
            continue;
        EXPECT_EQ(open ? start + open : 0, c.open) << c.name;
        // every byte placed is the file's: up to the open tail, or the whole chunk
        Bytes joined((open ? start + open : chunk_end) - start);
        ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), joined.size()));
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + start)) << c.name;
    }
}

// The last chunk of a recording, its samples' sizes unknown, cut once: behind its first cluster,
// or inside its last sample, the rest then that sample's tail and the sound behind the chunk. The
// rest is taken where its samples walk to the chunk's end, within the window of clusters behind
// the cut, only where one place fits and no other recording's piece lies there; a tail alone only
// where the sound behind it runs on from the sound in front of the chunk.
TEST(SalvageCutJoin, ALastChunkIsJoinedOnlyWhereOneRestWalksToItsEnd)
{
    constexpr uint64_t start = 500;
    const mkcard::SoundFormat f{};
    const uint64_t fb = f.frame_bytes();
    Bytes file(start);
    mkcard::put_sound(file.data(), 0, start / fb, 1, false, mkcard::SoundKind::tone, f);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(file, fixture::avc_sample(sizes[i], i == 0));
    const uint64_t end = file.size(), size = end - start;
    file.resize((end / cs + 1) * cs);
    mkcard::put_sound(file.data() + end, start / fb, (file.size() - end) / fb, 1, false, mkcard::SoundKind::tone, f);
    enum Gap { noise, other_sound, claimed_copy };  // what the clusters between the head and the rest hold
    struct {
        const char* name;
        uint64_t head;    // the file's clusters in the head's run: 1, or all but the last sample's tail
        uint64_t gap;     // clusters between the head and the rest
        Gap kind;
        int second_rest;  // the rest once more, a cluster behind the first
        int claimed;      // another recording's piece where the rest begins
        bool front;       // the sound in front of the chunk known
        int expect;
    } cases[] = {
        {"the rest right behind the next cluster", 1, 1, noise, 0, 0, false, 1},
        {"the rest at the window's far end", 1, salvage::join_window_clusters, noise, 0, 0, false, 1},
        {"the rest past the window", 1, salvage::join_window_clusters + 1, noise, 0, 0, false, 0},
        {"the rest lies twice", 1, 2, noise, 1, 0, false, 0},
        {"another recording's piece where the rest lies", 1, 2, noise, 0, 1, false, 0},
        {"the head's run goes on into another recording's copy of the rest", 1, 1, claimed_copy, 0, 0, false, 1},
        {"the last sample's tail alone, its sound going on", 5, 2, noise, 0, 0, true, 1},
        {"the tail alone behind another's piece, no sound in front to tell", 5, 1, claimed_copy, 0, 0, false, 0},
        {"another's tail and sound of another time on the head's run", 5, 2, other_sound, 0, 0, true, 1},
        {"only another's tails within the window", 5, salvage::join_window_clusters + 1, other_sound, 0, 0, true,
         0},
        {"the tail and its sound twice", 5, 2, noise, 1, 0, true, 0},
    };
    for (const auto& c : cases) {
        const Bytes head(file.begin(), file.begin() + c.head * cs), rest(file.begin() + c.head * cs, file.end());
        Bytes other = rest;
        if (c.kind == other_sound)
            mkcard::put_sound(other.data() + (end - c.head * cs), 9000, (file.size() - end) / fb, 1, false,
                              mkcard::SoundKind::tone, f);
        Bytes image = head;
        for (uint64_t k = 0; k < c.gap; k++)
            mkcard::put_bytes(image, c.kind == noise ? look_alike(rest) : other);
        const uint64_t rest_at = image.size();
        mkcard::put_bytes(image, rest);
        if (c.second_rest) {
            mkcard::put_bytes(image, look_alike(rest));
            mkcard::put_bytes(image, rest);
        }
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::ClaimList claims{};
        if (c.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{rest_at + 10, rest_at + 20, 2, 0});
        if (c.kind == claimed_copy)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{head.size(), rest_at, 2, 0});
        salvage::sort_claims(&claims);
        salvage::JoinWindow window{&claims, 1, 0};
        salvage::SoundInFront front{start, salvage::PcmFormat{2, 1, 2}};
        uint32_t got_sizes[analysis::camera_chunk_samples];
        salvage::ChunkPlace out{};
        int got = salvage::join_last_chunk(img.f, img.size, &g, start, start, size, 0, &window, got_sizes, &out,
                                           c.front ? &front : nullptr);
        basics::list_free(&claims.spans);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(out.tail, rest_at) << c.name;
            EXPECT_TRUE(std::equal(got_sizes, got_sizes + analysis::camera_chunk_samples, sizes.begin())) << c.name;
            Bytes joined(size);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), size));
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + start)) << c.name;
        }
        EXPECT_EQ(img.hash(), img.made_hash) << c.name;
    }
    // at a 1001 rate the chunk's sound may be a sound frame longer: a rest that walks to the end that
    // length gives, beside the one above, leaves two ends, and the chunk is not joined
    Bytes bare(start, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(bare, fixture::avc_sample(sizes[i], i == 0));
    bare.resize(file.size(), 0x77);
    const Bytes head(bare.begin(), bare.begin() + cs), rest(bare.begin() + cs, bare.end());
    Bytes other(start, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(other, fixture::avc_sample(sizes[i] - 4 * (i + 1 == sizes.size()), i == 0));
    other.resize(file.size(), 0x77);
    Bytes image = head;
    for (const Bytes& r : {rest, Bytes(other.begin() + cs, other.end())})
        mkcard::put_bytes(image, look_alike(rest)), mkcard::put_bytes(image, r);
    fixture::TempImage img(image, "two ends");
    image::ImageGeometry g{0, cs, 0};
    salvage::ClaimList claims{};
    salvage::SalvageChunkList chunks{};
    salvage::SalvageChunk c{};
    c.image_offset = c.file_offset = start, c.file_known = 1, c.full_bytes = size;
    basics::list_append(&chunks, c);
    c.full_bytes = 0;
    salvage::RecordingScope r{img.f, img.size, &g, nullptr, 0, start + size + 4000, 0, nullptr, {2, 0, 2}};
    const salvage::OthersPieces others{&claims, 1, 0};
    salvage::join_cut_last_chunk(&r, &chunks, &c, 4000, 0, &others);
    EXPECT_EQ(c.full_bytes, 0u);
    basics::list_free(&chunks);
}

}  // namespace

// A run of one cluster inside a chunk that holds no whole sample: the tail of one sample's payload
// and the start of the next, which the next cut ends. It is the chunk's where that start (the
// sample's delimiter and length fields) lies in it, and only where no other run fits as well.
TEST(SalvageCutJoin, AMiddleRunOfNoWholeSampleShownByTheStartOfOne)
{
    const std::vector<uint32_t> long_sizes = {500, 600, 700, 700, 700};
    Bytes file = camera_file(long_sizes);
    const Bytes head(file.begin(), file.begin() + 2 * cs), middle(file.begin() + 2 * cs, file.begin() + 3 * cs),
        rest(file.begin() + 3 * cs, file.end());
    const Bytes foreign = look_alike(middle);
    struct {
        const char* name;
        bool copy;    // a copy of the middle run right behind it, the rest behind that
        bool window;  // runs behind a cut are looked for, not only where the anchor puts them
        int expect;
    } cases[] = {
        {"the middle run found behind the first cut", false, true, 1},
        {"a copy of the middle run fits as well", true, true, 0},
        {"only where the anchor puts the rest", false, false, 0},
    };
    for (const auto& c : cases) {
        Bytes image = head;
        uint64_t middle_at = image.size() + cs;
        for (const Bytes* run : {&foreign, &middle, c.copy ? &middle : &foreign, &rest})
            mkcard::put_bytes(image, *run);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t end = file.size() - cs;
        salvage::JoinAnchor anchor{end, middle_at + 2 * cs + (end - 3 * cs)};
        salvage::ClaimList claims{};
        salvage::JoinWindow window{&claims, 1, 0};
        mp4::SampleSizes s = fixture::stored_sizes(long_sizes);
        salvage::ChunkPlace out{};
        int got = salvage::join_video_chunk(img.f, img.size, &g, chunk_file, chunk_file, &s, codec::Syntax::avc,
                                            &anchor, 1, 0, c.window ? &window : nullptr, &out);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(out.tail, middle_at) << c.name;
            Bytes joined(end - chunk_file);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), joined.size()));
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file)) << c.name;
        }
    }
}

TEST(SalvageCutJoin, WhatEveryWayOfJoiningPlacesAlikeIsSure)
{
    // a first sample of many clusters, cut inside its payload: the file's clusters 0-3 at image
    // clusters 0-3, a foreign cluster, the rest one cluster on; the cut walks at every edge of the
    // payload, and the bytes every way places alike are the camera's whichever it is. With a long
    // last sample, a second foreign cluster at the first edge inside its payload: every way walks
    // its head and keeps its payload in one run, and none shows where that payload lies
    const uint64_t cut = 4 * cs;
    struct {
        const char* name;
        uint8_t foreign;  // the foreign clusters' bytes
        bool window;
        bool claimed;     // another recording's piece holds the (first) foreign cluster
        uint32_t last;    // the last sample's size
        int expect;       // the join
        bool some_sure;
    } cases[] = {
        {"payload on both sides of every edge", 0x22, true, false, 140, 0, true},
        {"no look behind the cut: nothing is sure", 0x22, false, false, 140, 0, false},
        {"the foreign cluster another recording's: one way", 0x22, true, true, 140, 1, false},
        {"the last sample's payload cut too", 0x22, true, false, 1400, 0, true},
    };
    for (const auto& c : cases) {
        const std::vector<uint32_t> big = {3000, 120, 130, c.last};
        Bytes file = camera_file(big);
        // the file's bytes in front of the second cut (none: file.size()) lie one foreign cluster on,
        // those behind it two
        uint64_t last_head = chunk_file + 3000 + 120 + 130, second = c.last > cs ? (last_head / cs + 1) * cs : file.size();
        Bytes image(file.begin(), file.begin() + cut);
        image.resize(image.size() + cs, c.foreign);
        image.insert(image.end(), file.begin() + cut, file.begin() + second);
        if (second < file.size()) {
            image.resize(image.size() + cs, c.foreign);
            image.insert(image.end(), file.begin() + second, file.end());
        }
        auto shift = [&](uint64_t f) { return f < cut ? 0 : f < second ? cs : 2 * cs; };
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t end = file.size() - cs;
        salvage::JoinAnchor anchor{end, end + shift(end)};
        salvage::ClaimList claims{};
        if (c.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{cut, cut + cs, 2, 0});
        salvage::sort_claims(&claims);
        salvage::JoinWindow window{&claims, 1, 0};
        mp4::SampleSizes s = fixture::stored_sizes(big);
        salvage::ChunkPlace out{};
        basics::Growable<salvage::ClaimedSpan, 16> sure{};
        int got = salvage::join_video_chunk(img.f, img.size, &g, chunk_file, chunk_file, &s, codec::Syntax::avc,
                                            &anchor, 1, 0, c.window ? &window : nullptr, &out, nullptr, &sure);
        EXPECT_EQ(got, c.expect) << c.name;
        EXPECT_EQ(sure.count > 0, c.some_sure) << c.name;
        // the oracle: each sure span holds the camera's bytes where the true runs put them, and the
        // foreign clusters are in none
        for (uint64_t i = 0; i < sure.count; i++) {
            const salvage::ClaimedSpan& x = sure.items[i];
            uint64_t f = x.begin - (x.begin < cut ? 0 : x.begin < second + cs ? cs : 2 * cs);
            ASSERT_LE(x.end, image.size()) << c.name;
            EXPECT_EQ(x.begin, f + shift(f)) << c.name;
            EXPECT_EQ(x.end - 1, f + (x.end - 1 - x.begin) + shift(f + (x.end - 1 - x.begin))) << c.name;
            EXPECT_TRUE(std::equal(image.begin() + x.begin, image.begin() + x.end, file.begin() + f)) << c.name;
            EXPECT_EQ(x.clip, 1u) << c.name;
        }
        if (c.some_sure) {
            // the head's first cluster and the rest behind the sample's payload are sure
            EXPECT_EQ(sure.items[0].begin, chunk_file) << c.name;
            if (c.last < cs) {
                EXPECT_GE(sure.items[sure.count - 1].end, chunk_file + (big[0] + big[1] + big[2] + big[3]) + cs)
                    << c.name;
            }
        }
        basics::list_free(&sure);
        basics::list_free(&claims.spans);
    }
}

// Two files in turn one cluster each: a sample whose payload crosses three clusters is cut twice.
// Another recording's pieces leave one way of cutting it once, the payload between its length
// fields taken from the other's cluster and the file's next: no structure shows that payload where
// that way puts it, and the chunk is not joined.
TEST(SalvageCutJoin, ASampleCutTwiceIsNotTakenAsCutOnce)
{
    const std::vector<uint32_t> long_first = {1700, 120, 130, 140};
    Bytes file = camera_file(long_first);
    // image clusters: the file's 0, another's, the file's 1, another's, its 2, another's, its 3 on
    Bytes image;
    for (uint64_t k = 0; k < 3; k++) {
        mkcard::put_bytes(image, Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs));
        image.resize(image.size() + cs, 0x22);
    }
    image.insert(image.end(), file.begin() + 3 * cs, file.end());
    fixture::TempImage img(image, "cut twice");
    image::ImageGeometry g{0, cs, 0};
    salvage::ClaimList claims{};
    for (uint64_t k : {3, 5})
        basics::list_append(&claims.spans, salvage::ClaimedSpan{k * cs + 10, k * cs + 20, 2, 0});
    salvage::sort_claims(&claims);
    salvage::JoinWindow window{&claims, 1, 0};
    uint64_t end = file.size() - cs;
    salvage::JoinAnchor anchor{end, end + 3 * cs};
    mp4::SampleSizes s = fixture::stored_sizes(long_first);
    salvage::ChunkPlace out{};
    EXPECT_EQ(salvage::join_video_chunk(img.f, img.size, &g, chunk_file, chunk_file, &s, codec::Syntax::avc, &anchor,
                                        1, 0, &window, &out),
              0);
    basics::list_free(&claims.spans);
}

// Two files taking clusters in turn, "a" the chunk's and "b" the other's: image clusters b, a's 0 to
// 3, X, b, a's 4 and 5, b, a's 6 on, b's located pieces with their file offsets in the three b
// clusters, a's piece behind the chunk in its cluster 6. Between b's first two pieces one cluster of
// b's lies, and only X is left for it: the count gives X to b. Every sample may walk whole in the
// head run over X, but the bytes from X on are not the chunk's: a last sample whose payload alone
// runs over X is placed up to its open tail at X; one whose length fields lie in X (a copy of a's
// cluster 4 there, a's own overwritten) shows nothing, and nothing is placed.
TEST(SalvageCutJoin, BytesTheCountGivesTheOtherFileEndTheChunkInFrontOfThem)
{
    struct {
        const char* name;
        uint64_t start;  // the chunk's first byte in the file
        bool copy;       // X holds a copy of a's cluster 4, and a's own is overwritten
        int expect;
        uint64_t open;
    } cases[] = {
        {"the last sample's payload over X", 50, false, 1, 2048 - 50},
        {"the last sample's length fields in a copy at X", 110, true, 0, 0},
    };
    for (const auto& c : cases) {
        Bytes file(c.start, 0x5A);
        for (size_t i = 0; i < sizes.size(); i++)
            mkcard::put_bytes(file, fixture::avc_sample(sizes[i], i == 0));
        file.resize(10 * cs, 0x77);
        auto cluster = [&](uint64_t k) { return Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs); };
        Bytes image(cs, 0x22);
        for (uint64_t k = 0; k < 4; k++)
            mkcard::put_bytes(image, cluster(k));
        mkcard::put_bytes(image, c.copy ? cluster(4) : Bytes(cs, 0x22));
        mkcard::put_bytes(image, Bytes(cs, 0x22));
        mkcard::put_bytes(image, c.copy ? Bytes(cs, 0) : cluster(4));
        mkcard::put_bytes(image, cluster(5));
        mkcard::put_bytes(image, Bytes(cs, 0x22));
        for (uint64_t k = 6; k < 10; k++)
            mkcard::put_bytes(image, cluster(k));
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::ClaimList claims{};
        for (uint64_t k : {0, 6, 9})
            basics::list_append(&claims.spans, salvage::ClaimedSpan{k * cs + 10, k * cs + 20, 2, 0, 0,
                                                                    (k == 0 ? 0 : k == 6 ? 2 : 3) * cs + 10});
        salvage::sort_claims(&claims);
        const salvage::JoinAnchor lo{c.start, cs + c.start}, hi{6 * cs + 28, 10 * cs + 28};
        salvage::CountedStretch stretch;
        ASSERT_TRUE(salvage::count_prepare(&g, &claims, 1, 0, nullptr, 0, lo, hi, &stretch)) << c.name;
        salvage::JoinWindow window{&claims, 1, 0, &stretch};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        uint64_t open = 1;
        int got = salvage::join_video_chunk(img.f, img.size, &g, c.start, lo.image, &s, codec::Syntax::avc, &hi, 1, 0,
                                            &window, &out, &open);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(open, c.open) << c.name;
            Bytes joined(open);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), open)) << c.name;
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + c.start)) << c.name;
        }
        salvage::free_claims(&claims);
    }
}
