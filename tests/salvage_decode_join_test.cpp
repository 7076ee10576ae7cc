#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "salvage/count_join.h"
#include "salvage/decode_join.h"
#include "salvage/layout_join.h"
#include "tests/analysis_fixture.h"
#include "validator/loader.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 512;          // the card's clusters, the heap at the image's start
constexpr uint64_t chunk_file = 100;  // the chunk in the camera's file, behind its clip header

// The payload byte at offset i of a sample; another file's clusters hold 0x77.
uint8_t payload(uint64_t i)
{
    return uint8_t(1 + (i * 11 + i / cs * 37) % 250);
}

// A decoder that takes a sample only where every payload byte is where the camera wrote it, or,
// lenient, any sample; it counts the decoders opened.
struct Decoder {
    bool refused = false;
};
bool lenient = false;
uint64_t opened = 0;
void* decoder_open(const validator::ValidatorOpenParams*)
{
    opened++;
    return new Decoder;
}
int decoder_push(void* h, const uint8_t* b, uint64_t n, uint64_t)
{
    auto* d = static_cast<Decoder*>(h);
    for (uint64_t i = 11; !lenient && i < n; i++)
        d->refused = d->refused || b[i] != payload(i);
    return d->refused;
}
int decoder_result(void* h, validator::ValidatorResult* r)
{
    r->samples_received = r->frames_decoded = 1;
    r->failing_sample = static_cast<Decoder*>(h)->refused ? 0 : UINT64_MAX, r->corrupt_frames = 0;
    return 0;
}
void decoder_close(void* h) { delete static_cast<Decoder*>(h); }

// One sample: an access-unit delimiter and one slice, its payload the camera's but for one byte
// where `broken`.
Bytes sample(uint32_t size, bool key, bool broken)
{
    Bytes b = {0, 0, 0, 2, 0x09, 0x10};
    mkcard::put_be32(b, size - 10);
    b.push_back(key ? 0x65 : 0x41);
    for (uint64_t i = 11; i < size; i++)
        b.push_back(payload(i) ^ uint8_t(broken && i == size / 2));
    return b;
}

struct Row {
    const char* name;
    // the image's clusters in heap order: A the recording's (its file's clusters in turn), B the
    // other's; the recording's located pieces are its clip header in the first cluster and its
    // second sample's head in the last
    const char* layout;
    int located;  // the other's cluster its located piece lies in; -1: a piece in each of its clusters
    int guessed;     // the cluster of the other's sound placed by the room left; -1: none
    bool tentative;  // that sound only guessed at an edge instead
    bool lenient;    // the decoder takes any sample
    bool broken;  // the second sample's payload is not the camera's
    int expect;
};

// A key frame cut twice inside its payload between the recording's clip header and the head of its
// second sample, the clusters between the other recording's where its located piece and the
// count of the clusters allow: placed only where exactly one of the ways the count leaves decodes
// cleanly, no other recording's piece lies on it (a guess counts nothing), and the whole chunk
// decodes; with more ways than the decoder is given none is decoded.
TEST(SalvageDecodeJoin, AKeyFrameIsPlacedWhereExactlyOneWayDecodes)
{
    const Row rows[] = {
        {"one way of those the count leaves decodes", "AABABAABA", 2, -1, false, false, false, 1},
        {"the one that decodes cut once", "AABBAABA", 2, -1, false, false, false, 1},
        {"every way decodes", "AABABAABA", 2, -1, false, true, false, 0},
        {"the way that decodes takes a cluster of the other's sound", "AABABAABA", 2, 3, false, false, false, 0},
        {"the other's sound guessed at an edge there counts nothing", "AABABAABA", 2, 3, true, false, false, 1},
        {"the samples behind the key frame do not decode", "AABABAABA", 2, -1, false, false, true, 0},
        {"more ways than the decoder is given",
         "AAAAAAAAAAAAAAAAAAAABAAABBBAAAAAAAAAAAAAAAAAAAABA", 20, -1, false, false, false, 0},
        {"more ways than are listed, one of them counted",
         "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAABBBBBBBBBBAAAAAAAAAAAAAAAAAAAAAAAAAAAAAABA", -1, -1, false, false, false, 0},
    };
    const validator::ValidatorApi saved = validator::validator_api;
    validator::validator_api = validator::ValidatorApi{nullptr,        nullptr,        decoder_open, decoder_push,
                                                       decoder_result, decoder_result, decoder_close, 1};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        lenient = r.lenient, opened = 0;
        std::string layout = r.layout;
        uint64_t own = 0;
        for (char c : layout)
            own += c == 'A';
        // the camera's file: header, key frame, a second sample to the edge of its cluster, a third
        // in the last cluster, sound to the end of it
        uint64_t second = (own - 2) * cs + 40;
        Bytes file(chunk_file, 0x5A);
        mkcard::put_bytes(file, sample(uint32_t(second - chunk_file), true, false));
        mkcard::put_bytes(file, sample(cs - 40, false, r.broken));
        mkcard::put_bytes(file, sample(120, false, false));
        uint64_t chunk_end = file.size(), next = chunk_end + 100;
        file.resize(own * cs, 0x33);
        Bytes image;
        std::vector<uint64_t> at;  // the image offset of each of the file's clusters
        for (char c : layout) {
            if (c == 'B') {
                image.resize(image.size() + cs, 0x77);
                continue;
            }
            at.push_back(image.size());
            image.insert(image.end(), file.begin() + (at.size() - 1) * cs, file.begin() + at.size() * cs);
        }
        fixture::TempImage img(image, r.name);
        image::ImageGeometry g{0, cs, 0};
        std::vector<uint32_t> sizes = {uint32_t(second - chunk_file), cs - 40, 120};
        uint64_t offsets[] = {chunk_file}, chunk_sizes[] = {chunk_end - chunk_file}, first[] = {0};
        uint32_t counts[] = {3};
        mkcard::TrackDesc t;
        t.kind = mkcard::TrackKind::video, t.timescale = 25, t.sample_delta = 1, t.sample_count = 3, t.duration = 3;
        t.samples_per_chunk = 3, t.sizes = sizes, t.chunk_offsets = {chunk_file};
        t.sample_entry = mkcard::visual_sample_entry(false, 256, 144, {1, 0x64, 0, 0x1e, 0xff, 0xe1, 0, 4, 0x67, 0x64, 0,
                                                                        0x1e, 1, 0, 2, 0x68, 0xee});
        Bytes moov = fixture::box("moov", mkcard::build_trak(t));
        mp4::MovieInfo movie{};
        movie.moov_offset = image.size(), movie.moov_size = moov.size(), movie.moov_bytes = moov.data();
        movie.video = mp4::TrackTables{"vide", "avc1", 25, 0, 0, sizes.data(), 3, offsets, counts, first, chunk_sizes, 1, {}};
        analysis::ClipHeader header{0, 0, 0, 0, file.size(), 1};
        analysis::RecoveryClip clip{1, &header, nullptr, &movie, nullptr, 0, 0, 0};
        salvage::ClaimList claims;
        for (size_t c = 0; c < layout.size(); c++)
            if (int(c) == r.located || (r.located < 0 && layout[c] == 'B'))
                basics::list_append(&claims.spans, salvage::ClaimedSpan{c * cs + 8, c * cs + 24, 2, 0});
        if (r.guessed >= 0) {
            salvage::ClaimedSpan sound{r.guessed * cs + 100, r.guessed * cs + 400, 2, 0};
            (r.tentative ? sound.tentative : sound.by_room) = 1;
            basics::list_append(&claims.spans, sound);
        }
        salvage::sort_claims(&claims);
        salvage::MoviePlanner p{};
        p.image = img.f, p.image_size = img.size, p.geometry = &g, p.clip = &clip, p.claims = &claims;
        p.decode_check = 1, p.movie = &movie, p.video = &movie.video, p.chunks = 1, p.media_end = file.size();
        // the clip header's piece, the second sample's head to its cluster's end, and a piece behind
        // the chunk (a kkad box)
        salvage::OwnPieces pieces{};
        salvage::JoinAnchor behind{next, at.back() + next % cs};
        for (salvage::JoinAnchor a : {salvage::JoinAnchor{0, 0}, {second, at[own - 2] + 40}, behind}) {
            uint64_t size = a.file == 0 ? chunk_file : a.file == second ? cs - 40 : 16;
            basics::list_append(&pieces.spans, salvage::ClaimedSpan{a.image, a.image + size, 1, 0, 0, a.file});
            basics::list_append(&pieces.points, a);
            basics::list_append(&pieces.points, salvage::JoinAnchor{a.file + size - 1, a.image + size - 1});
        }
        salvage::sort_anchors(&pieces.points);
        salvage::CountedStretch stretch;
        ASSERT_TRUE(salvage::stretch_for_chunk(&p, 0, &pieces, &stretch));
        salvage::JoinWindow window{&claims, 1, 0, &stretch};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        int got = salvage::video_by_decoding(&p, 0, &s, &pieces, &window, &behind, 1, &out);
        EXPECT_EQ(got, r.expect);
        Bytes joined(chunk_end - chunk_file);
        if (got && salvage::read_placed(p.image, &out, 0, joined.data(), joined.size())) {
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file));
        }
        // each way decoded alone, and the whole chunk once, at most
        EXPECT_LE(opened, salvage::decode_trials_max + 1);
        salvage::free_own_pieces(&pieces);
        salvage::free_claims(&claims);
    }
    validator::validator_api = saved;
}

}  // namespace
