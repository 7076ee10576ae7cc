#include <gtest/gtest.h>

#include <vector>

#include "salvage/count_join.h"
#include "salvage/missing_chunk.h"
#include "salvage/movie_planner.h"
#include "salvage/tail_layout.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 512;           // the card's clusters, the heap at the image's start
constexpr uint64_t chunk_file = 100;   // where the chunk starts in the camera's file
constexpr uint64_t sound_bytes = 250;  // behind the chunk, then the next piece (a kkad box)

struct TailCase {
    const char* name;
    uint64_t boundary;  // file offset where two foreign clusters break the file's run; 0: none
    uint8_t foreign;    // what those clusters hold: 0 sound (mostly zero bytes), else a unit's payload byte
    uint64_t claimed;   // image offset of another recording's piece; 0: none
    int expect;         // 1: the chunk is cut on the edge at 512
};

// The camera's file: the chunk of `sizes` at chunk_file, its sound, the next kkad box at `next_file`.
Bytes camera_file(const std::vector<uint32_t>& sizes, uint64_t* chunk_end, uint64_t* next_file)
{
    Bytes file(chunk_file, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(file, fixture::avc_sample(sizes[i], i == 0));
    *chunk_end = file.size(), *next_file = *chunk_end + sound_bytes;
    file.resize(*next_file, 0x33);
    file.resize((file.size() / cs + 2) * cs, 0x44);
    return file;
}

// One video chunk of `sizes` at `start` in the camera's file `file`, ending at `chunk_end`, as
// `image` holds it: `check` runs with the planner of its clip, the chunk found at `start` (cut
// where `cut` says), the recording's next kkad box at `next` and the others' pieces `claims`.
template <class Check>
void with_planner(const Bytes& image, const Bytes& file, std::vector<uint32_t>& sizes, uint64_t chunk_end,
                  salvage::ClaimList* claims, salvage::JoinAnchor next, salvage::ChunkPlace* cut, const char* name,
                  Check check, uint64_t start = chunk_file)
{
    fixture::TempImage img(image, name);
    image::ImageGeometry g{0, cs, 0};
    uint64_t offsets[] = {start}, chunk_sizes[] = {chunk_end - start}, first[] = {0};
    uint32_t counts[] = {uint32_t(sizes.size())};
    mp4::TrackTables video{"vide", "avc1", 25, 0, 0, sizes.data(), sizes.size(), offsets, counts, first, chunk_sizes, 1, {}};
    mp4::MovieInfo movie{};
    movie.moov_offset = image.size();
    analysis::ClipHeader header{0, 0, 0, 0, file.size(), 1};
    analysis::RecoveryClip clip{1, &header, nullptr, &movie, nullptr, 0, 0, 0};
    salvage::sort_claims(claims);
    uint8_t found = 1;
    uint64_t found_at = start;
    salvage::MoviePlanner p{};
    p.image = img.f, p.image_size = img.size, p.geometry = &g, p.clip = &clip, p.claims = claims;
    p.movie = &movie, p.video = &video, p.chunks = 1, p.found = &found, p.found_at = &found_at, p.cut = cut;
    p.media_end = file.size();
    basics::list_append(&p.kkad, next);
    check(&p);
    basics::list_free(&p.kkad);
    salvage::free_claims(claims);
}

// A chunk found whole, every sample walking, whose last unit's payload crosses a cluster edge: cut
// there only where the layout leaves no other place for the boundary before the next piece.
TEST(SalvageMoviePlanner, AChunkFoundWholeIsCutInItsLastUnitOnlyWhereTheLayoutSaysSo)
{
    const TailCase cases[] = {
        {"one run holds the chunk and the next piece", 0, 0, 0, 0},
        {"a boundary in the last unit with sound behind it", 512, 0, 0, 1},
        {"a boundary in the last unit with payload behind it, and another edge left", 512, 0x11, 0, 0},
        {"the other edge's run holds another recording's piece", 512, 0x11, 612, 1},
        {"a boundary in the sound behind the chunk", 1024, 0, 0, 0},
        {"a boundary in the sound, the edge in the unit's run holds another recording's piece", 1024, 0, 1624, 0},
    };
    std::vector<uint32_t> sizes = {120, 130, 500};  // the last unit's payload holds the edge at 512
    uint64_t chunk_end = 0, next_file = 0;
    Bytes file = camera_file(sizes, &chunk_end, &next_file);
    for (const TailCase& c : cases) {
        Bytes image(file.begin(), file.begin() + (c.boundary ? c.boundary : file.size()));
        Bytes foreign(2 * cs, c.foreign);
        for (size_t i = 2; !c.foreign && i < foreign.size(); i += 4)
            foreign[i] = 1;
        if (c.boundary) {
            mkcard::put_bytes(image, foreign);
            image.insert(image.end(), file.begin() + c.boundary, file.end());
        }
        uint64_t shift = c.boundary ? 2 * cs : 0;
        salvage::ClaimList claims;
        if (c.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{c.claimed, c.claimed + 100, 2, 0});
        salvage::ChunkPlace cut{};
        with_planner(image, file, sizes, chunk_end, &claims, {next_file, next_file + shift}, &cut, c.name,
                     [&](salvage::MoviePlanner* p) {
                         uint64_t x = 0;
                         EXPECT_EQ(salvage::tail_cut(p, 0, &x), c.expect) << c.name;
                         if (c.expect) {
                             EXPECT_EQ(x, 512 - chunk_file) << c.name;
                         }
                     });
    }
}

struct JoinedTailCase {
    const char* name;
    uint64_t boundary;  // file offset where two more foreign clusters break the file's last run; 0: none
    int claimed;        // 1: another recording's pieces are located in those two clusters
    uint64_t expect;    // the byte of the chunk from which its last unit's payload is left open; 0: none
};

// A chunk joined across a fragment boundary whose last sample walks whole in the run behind the
// cut, its last unit's payload crossing a cluster edge there: the bytes behind the edge are the
// chunk's only where that run reaches the next piece or the others' pieces put the next piece there.
TEST(SalvageMoviePlanner, AJoinedChunkKeepsItsLastUnitPastAnEdgeOnlyWhereTheRunIsShownGoingOn)
{
    const JoinedTailCase cases[] = {
        {"the last run holds the rest of the chunk and the next piece", 0, 0, 0},
        {"a boundary in the last unit's payload", 1024, 0, 924},
        {"a boundary in the last unit's payload, another recording's pieces behind it", 1024, 1, 924},
        {"a boundary in the sound, another recording's pieces between the runs", 1536, 1, 0},
        {"a boundary in the sound, nothing shows whose the clusters between are", 1536, 0, 924},
    };
    // the second sample holds the first boundary (at 512), the third's last unit the edge at 1024
    std::vector<uint32_t> sizes = {120, 600, 700};
    uint64_t chunk_end = 0, next_file = 0;
    Bytes file = camera_file(sizes, &chunk_end, &next_file);
    for (const JoinedTailCase& c : cases) {
        Bytes image(file.begin(), file.begin() + cs), foreign(cs, 0x77), two(2 * cs, 0x11);
        mkcard::put_bytes(image, foreign);
        image.insert(image.end(), file.begin() + cs, file.begin() + (c.boundary ? c.boundary : file.size()));
        if (c.boundary) {
            mkcard::put_bytes(image, two);
            image.insert(image.end(), file.begin() + c.boundary, file.end());
        }
        uint64_t shift = cs + (c.boundary ? 2 * cs : 0), twos = c.boundary + cs;
        salvage::ClaimList claims;
        basics::list_append(&claims.spans, salvage::ClaimedSpan{cs, 2 * cs, 2, 0});
        if (c.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{twos, twos + 2 * cs, 2, 0});
        salvage::ChunkPlace cut{chunk_file, cs - chunk_file, 2 * cs};
        with_planner(image, file, sizes, chunk_end, &claims, {next_file, next_file + shift}, &cut, c.name,
                     [&](salvage::MoviePlanner* p) {
                         EXPECT_EQ(salvage::joined_tail_open(p, 0, &cut), c.expect) << c.name;
                     });
    }
}

// A chunk placed by counting the clusters between the recording's pieces around it, another
// recording's piece among them: taken only where its samples walk where the count puts them (a
// cluster a third file overwrote counts as the recording's all the same).
TEST(SalvageMoviePlanner, AChunkPlacedByCountingIsTakenOnlyWhereItsSamplesWalk)
{
    std::vector<uint32_t> sizes = {120, 600, 700};
    uint64_t chunk_end = 0, next_file = 0;
    Bytes file = camera_file(sizes, &chunk_end, &next_file);
    for (int overwritten : {0, 1}) {
        const char* name = overwritten ? "a cluster the count places overwritten" : "the count places the chunk";
        Bytes image(file.begin(), file.begin() + cs), other(cs, 0x77);
        mkcard::put_bytes(image, other);
        image.insert(image.end(), file.begin() + cs, file.end());
        if (overwritten)
            std::fill(image.begin() + 2 * cs, image.begin() + 3 * cs, 0x11);
        salvage::ClaimList claims;
        basics::list_append(&claims.spans, salvage::ClaimedSpan{cs, 2 * cs, 2, 0});
        salvage::ChunkPlace cut{};
        with_planner(image, file, sizes, chunk_end, &claims, {next_file, next_file + cs}, &cut, name,
                     [&](salvage::MoviePlanner* p) {
                         salvage::OwnPieces own{};
                         for (salvage::JoinAnchor a : {salvage::JoinAnchor{0, 0}, {next_file, next_file + cs}}) {
                             basics::list_append(&own.spans,
                                                 salvage::ClaimedSpan{a.image, a.image + 1, 1, 0, 0, a.file});
                             basics::list_append(&own.points, a);
                         }
                         mp4::SampleSizes s = fixture::stored_sizes(sizes);
                         salvage::ChunkPlace out{};
                         int got = salvage::video_by_count(p, 0, &s, &own, &out);
                         EXPECT_EQ(got, !overwritten) << name;
                         Bytes joined(chunk_end - chunk_file);
                         if (got && salvage::read_placed(p->image, &out, 0, joined.data(), joined.size())) {
                             EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file)) << name;
                         }
                         salvage::free_own_pieces(&own);
                     });
    }
}

// A chunk the card holds only the first samples of, a cluster edge between it and the kkad box in
// front of it: its start is in one of the clusters behind the box's run at the chunk's offset in
// its cluster, taken only where exactly one of them shows those samples.
TEST(SalvageMoviePlanner, LeadingSamplesBehindTheBoxsRunOnlyWhereOneClusterShowsThem)
{
    const uint64_t start = cs + 88;  // the chunk, in the file cluster behind the box's
    const std::vector<uint32_t> sizes_in = {120, 600, 700};
    Bytes file(start, 0x5A);
    for (size_t i = 0; i < sizes_in.size(); i++)
        mkcard::put_bytes(file, fixture::avc_sample(sizes_in[i], i == 0));
    const uint64_t chunk_end = file.size();
    file.resize((file.size() / cs + 1) * cs, 0x33);
    const Bytes head(file.begin() + cs, file.begin() + 2 * cs), other(cs, 0x77), junk(cs, 0x11);
    struct {
        const char* name;
        int copies;   // clusters behind the box's run that hold the chunk's first samples
        int claimed;  // another recording's piece in the first of them
        uint64_t expect_at;
    } rows[] = {
        {"one cluster shows the first samples", 1, 0, 2 * cs + 88},
        {"two clusters show them alike", 2, 0, 0},
        {"the one that shows them holds another recording's piece", 1, 1, 0},
    };
    for (const auto& r : rows) {
        Bytes image(file.begin(), file.begin() + cs);  // the box's cluster
        mkcard::put_bytes(image, other);
        for (int k = 0; k < 2; k++)
            mkcard::put_bytes(image, k < r.copies ? head : junk), mkcard::put_bytes(image, junk);
        std::vector<uint32_t> sizes = sizes_in;
        salvage::ClaimList claims;
        if (r.claimed)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{2 * cs + 80, 2 * cs + 100, 2, 0});
        salvage::ChunkPlace cut{};
        with_planner(image, file, sizes, chunk_end, &claims, {200, 200}, &cut, r.name, [&](salvage::MoviePlanner* p) {
            uint8_t end_seen = 0, counted = 0;
            uint64_t on_card = 0, open_tail = 0;
            p->found[0] = 0, p->found_at[0] = 0;
            p->on_card = &on_card, p->end_seen = &end_seen, p->counted = &counted, p->open_tail = &open_tail;
            salvage::find_missing_chunk(p, 0);
            EXPECT_EQ(p->found[0], 0) << r.name;
            EXPECT_EQ(on_card ? p->found_at[0] : 0, r.expect_at) << r.name;
        }, start);
    }
}

}  // namespace
