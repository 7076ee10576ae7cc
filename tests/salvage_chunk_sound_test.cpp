#include <gtest/gtest.h>

#include <vector>

#include "salvage/chunk_sound.h"
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
