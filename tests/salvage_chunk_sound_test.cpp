#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "salvage/chunk_place.h"
#include "salvage/chunk_sound.h"
#include "salvage/layout_join.h"
#include "salvage/open_tail.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"
#include "tools/mkcard_recording.h"

namespace {

constexpr uint64_t lead = 12 * 1536;  // the metadata in front of every chunk
constexpr uint64_t header = 40;

// The sound behind each twelve-frame chunk, as the card generator's camera writes it (the samples
// due by the chunk's end), against what a recording's kkad descriptions prove of it: the room
// between one described chunk and the next, or the media data's end behind the last. At 1001 rates
// the sound varies from chunk to chunk, and a chunk whose room nothing shows has no size; at whole
// rates every chunk's is the usual. Another movie box's clock sizes the rest where it agrees with
// every room: a clock of another rate sizes none.
TEST(SalvageChunkSound, EachChunksSoundIsTheRoomItsDescriptionsLeave)
{
    struct {
        uint32_t num, den, chunks;
        std::vector<uint32_t> undescribed;  // chunks whose kkad description the card lost
        bool varies;
        uint64_t clock_timescale, clock_delta;  // another movie box's video clock; 0: none
        bool clock_sizes;
    } cases[] = {
        {25, 1, 6, {}, false, 0, 0, false},
        {25, 1, 6, {3}, false, 0, 0, false},
        {50, 1, 5, {}, false, 0, 0, false},
        {24000, 1001, 6, {2}, false, 0, 0, false},
        {30000, 1001, 12, {}, true, 0, 0, false},
        {30000, 1001, 12, {4, 9}, true, 0, 0, false},
        {30000, 1001, 12, {4, 9}, true, 30000, 1001, true},
        {30000, 1001, 12, {4, 9}, true, 60000, 1001, false},
        {60000, 1001, 11, {}, true, 0, 0, false},
        {60000, 1001, 11, {0, 10}, true, 0, 0, false},
        {60000, 1001, 11, {1, 10}, true, 60000, 1001, true},
        {30000, 1001, 4, {}, false, 0, 0, false},
    };
    for (const auto& t : cases) {
        mkcard::RecordingPlan plan;
        plan.video.rate_num = t.num;
        plan.video.rate_den = t.den;
        salvage::SalvageChunkList chunks = {};
        std::vector<uint64_t> expected;
        uint64_t at = header + lead;
        for (uint32_t j = 0; j < t.chunks; j++) {
            salvage::SalvageChunk c = {};
            c.file_offset = at;
            c.file_known = 1;
            c.full_bytes = 50000 + 1000 * (j % 7);
            c.end_confirmed = 1;
            c.samples = 12;
            c.described = 1;
            for (uint32_t u : t.undescribed)
                c.described = c.described && u != j;
            uint64_t sound = 4 * (mkcard::pcm_frames_due(plan, 12 * (j + 1)) - mkcard::pcm_frames_due(plan, 12 * j));
            expected.push_back(sound);
            at += c.full_bytes + sound + lead;
            basics::list_append(&chunks, c);
        }
        salvage::RecordingScope r = {};
        r.file_end = at - lead;
        analysis::ClipHeader clip = {};
        r.header = &clip;
        r.payload = header;
        const salvage::SoundClock clock{t.clock_timescale, t.clock_delta, 48000, 4};
        r.clock = t.clock_timescale ? &clock : nullptr;
        uint64_t usual = expected[0];
        salvage::chunk_sound_sizes(&r, &chunks, lead, usual);
        bool varied = false;
        for (uint32_t j = 0; j < t.chunks; j++) {
            const salvage::SalvageChunk& c = chunks.items[j];
            varied = varied || expected[j] != usual;
            // a chunk's room shows where it and the piece behind it are described
            bool shown = c.described && (j + 1 == t.chunks || chunks.items[j + 1].described);
            SCOPED_TRACE(testing::Message() << t.num << "/" << t.den << " chunk " << j);
            if (shown || !t.varies || t.clock_sizes) {
                EXPECT_EQ(c.sound_bytes, expected[j]);
                EXPECT_EQ(c.sound_unproven, 0u);
            } else {
                EXPECT_EQ(c.sound_unproven, 1u);
            }
        }
        EXPECT_EQ(varied, t.varies) << t.num << "/" << t.den;
        basics::list_free(&chunks);
    }
}

// A movie box proves the camera's clock when each of its chunks holds twelve frames and the sound
// due by their end, in whichever of the camera's sound formats it keeps; a sample size no camera
// format has proves none.
TEST(SalvageChunkSound, AMovieBoxProvesTheClockInEveryCameraFormat)
{
    mkcard::RecordingPlan plan;
    plan.video.rate_num = 30000;
    plan.video.rate_den = 1001;
    for (uint32_t frame_bytes : {4u, 6u, 8u, 12u, 5u}) {
        std::vector<uint32_t> frames(10, 12);
        std::vector<uint64_t> sound;
        for (uint32_t j = 0; j < 10; j++)
            sound.push_back(frame_bytes * (mkcard::pcm_frames_due(plan, 12 * (j + 1)) - mkcard::pcm_frames_due(plan, 12 * j)));
        mp4::MovieInfo m = {};
        m.has_video = m.has_audio = 1;
        m.video.timescale = 30000;
        m.video.sample_count = 120;
        m.video.duration = 1001 * 120;
        m.video.chunk_count = m.audio.chunk_count = 10;
        m.video.chunk_sample_counts = frames.data();
        m.audio.timescale = 48000;
        m.audio.fixed_sample_size = frame_bytes;
        m.audio.sample_count = m.audio.duration = mkcard::pcm_frames_due(plan, 120);
        m.audio.chunk_sizes = sound.data();
        analysis::MovieList movies = {};
        basics::list_append(&movies, m);
        const salvage::SoundClock k = salvage::clock_from_movies(&movies);
        EXPECT_EQ(k.sample_bytes, frame_bytes == 5 ? 0u : frame_bytes) << frame_bytes;
        basics::list_free(&movies);
    }
}

}  // namespace

// A chunk whose last sample's payload runs over a cluster edge behind its last length field into
// another recording's cluster: the file goes on one cluster further, where the payload's tail, the
// sound behind the chunk and the kkad box lie in one run. Image clusters: another's, the file's
// 0 to 3, another's, the file's 4 to 7, another's, the file's 8 on. The file's run of four clusters
// in front, between two of the other's, is shown by two pieces of its own; the other's pieces end the
// chunk's head run and begin the run behind. The tail and the sound are closed together only where
// the nearest located piece behind the sound leaves one edge, and nothing contests the sound; the
// chunk walked whole in its head run is closed the same way from the first edge behind its last
// length field.
TEST(SalvageChunkSound, AnOpenTailIsClosedWithItsSoundOnlyWhereThePiecesLeaveOneWay)
{
    constexpr uint64_t cs = 512, start = 50, sound = 1000, open = 2048 - start;
    const std::vector<uint32_t> sizes = {300, 120, 130, 140, 150, 160, 170, 180, 190, 200, 210, 220};
    fixture::Bytes file(start, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++) {
        const fixture::Bytes s = fixture::avc_sample(sizes[i], i == 0);
        file.insert(file.end(), s.begin(), s.end());
    }
    const uint64_t end = file.size();
    file.resize(end + sound);
    mkcard::put_sound(file.data() + end, 0, sound / 4, 7, false);
    file.resize(12 * cs, 0x66);
    fixture::Bytes image(cs, 0x22);
    for (uint64_t k = 0; k < 12; k++) {
        if (k == 4 || k == 8)
            image.resize(image.size() + cs, 0x22);
        image.insert(image.end(), file.begin() + k * cs, file.begin() + (k + 1) * cs);
    }
    auto at = [&](uint64_t f) { return f + cs * (f < 4 * cs ? 1 : f < 8 * cs ? 2 : 3); };
    enum Ahead { box_only, next_nearer };
    struct {
        const char* name;
        bool whole;      // the chunk taken as walking whole in its head run
        Ahead ahead;
        bool contested;  // another recording placed sound by room over this one's
        int expect;
    } cases[] = {
        {"the tail and the sound where the pieces leave one edge", false, box_only, false, 2},
        {"the sound contested", false, box_only, true, 0},
        {"the next chunk nearer than a box further on, past another's cluster", false, next_nearer, false, 2},
        {"a chunk that walked whole in its head run", true, box_only, false, 2},
    };
    for (const auto& c : cases) {
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::ClaimList claims{};
        for (uint64_t k : {0, 5, 10})
            basics::list_append(&claims.spans, salvage::ClaimedSpan{k * cs + 10, k * cs + 20, 2, 0});
        for (uint64_t f : {start, 4 * cs - 10})
            basics::list_append(&claims.spans, salvage::ClaimedSpan{at(f), at(f) + 10, 1, 0, 0, f});
        if (c.contested)
            basics::list_append(&claims.contested, salvage::ClaimedSpan{at(end + 100), at(end + 200), 2, 0});
        salvage::sort_claims(&claims);
        salvage::OthersPieces others{&claims, 1, 0};
        salvage::RecordingScope r{img.f, img.size, &g, nullptr, 0, 12 * cs, 0, nullptr, salvage::PcmFormat{2, 1, 2}};
        salvage::SalvageChunk chunk{};
        chunk.image_offset = at(start), chunk.file_offset = start, chunk.file_known = 1, chunk.end_confirmed = 1;
        std::copy(sizes.begin(), sizes.end(), chunk.sizes);
        chunk.samples = c.whole ? 12 : 11, chunk.full_bytes = end - start, chunk.open_tail = c.whole ? 0 : open;
        const uint64_t box = c.ahead == box_only ? end + 1080 : 4200;
        chunk.box = at(box);
        salvage::SalvageChunk next{};
        next.file_known = 1, next.file_offset = end + sound + 30, next.image_offset = at(next.file_offset);
        const salvage::SalvageChunk* behind = c.ahead == next_nearer ? &next : nullptr;
        int got = c.whole ? salvage::close_unseen_tail(&r, &chunk, behind, sound, box - end, &others)
                          : salvage::close_open_tail(&r, &chunk, behind, sound, box - end, &others);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            // every byte of the chunk and of its sound is the file's
            std::vector<uint8_t> bytes(end - start), heard(sound);
            ASSERT_TRUE(salvage::read_salvage_chunk(img.f, &chunk, bytes.data(), bytes.size())) << c.name;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.begin() + start)) << c.name;
            ASSERT_TRUE(salvage::read_placed(img.f, &chunk.sound, 0, heard.data(), sound)) << c.name;
            EXPECT_TRUE(std::equal(heard.begin(), heard.end(), file.begin() + end)) << c.name;
            EXPECT_EQ(chunk.samples, 12u) << c.name;
            EXPECT_EQ(chunk.open_tail, 0u) << c.name;
        }
        salvage::free_claims(&claims);
    }
}
