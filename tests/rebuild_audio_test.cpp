#include <gtest/gtest.h>

#include "analysis_fixture.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "rebuild/audio_recovery.h"

namespace {

constexpr uint64_t cs = 512, image_size = 256 * 1024, out_size = 64 * 1024;
// Video chunk 0 sits at file offset 1024 (2048 bytes) and was found at image 40000.
constexpr uint64_t video_file = 1024, video_size = 2048, video_at = 40000;
constexpr uint64_t a = 600, adj = video_file + video_size;  // the audio chunk right behind it in the file
constexpr uint64_t map_base = 100000;  // contiguous layout: file byte x at image map_base + x

enum Outcome { silent, written_nothing, by_map, by_cadence, by_final_adjacent };

struct Case {
    const char* name;
    uint64_t size, q;      // audio chunk byte size and file offset
    uint64_t audio_count;  // chunks in the audio track (j is always 1)
    bool contiguous_map;
    int64_t conflict_at;   // map entry set to the conflict mark, or -1
    int64_t jump_at;       // first map entry that lies 4 clusters farther on in the image, or -1
    bool located;
    uint64_t located_at;
    uint32_t mapped;
    int32_t hit_count;
    int64_t kkad_gap;      // kkad offset - (V + a)
    Outcome outcome;
};

TEST(AudioRecovery, EachRuleOnAHandBuiltLayout)
{
    fixture::Bytes image(image_size);
    for (uint64_t i = 0; i < image_size; i++)
        image[i] = uint8_t((i * 2654435761u) >> 13);
    fixture::TempImage img(image);
    fixture::TempDir dir;
    const uint64_t edge = image_size - video_size - a;  // last place a final-adjacent chunk fits
    const Case cases[] = {
        {"size 0 counts as written", 0, adj, 2, false, -1, -1, true, video_at, 1, 2, 16384, written_nothing},
        {"cluster map covers the chunk", a, adj, 2, true, -1, -1, false, video_at, 0, 0, 0, by_map},
        {"cluster map wins over cadence", a, adj, 2, true, -1, -1, true, video_at, 1, 2, 16384, by_map},
        {"conflicting cluster falls back to cadence", a, adj, 2, true, int64_t(adj / cs), -1, true, video_at, 1, 2,
         16384, by_cadence},
        {"cluster map with a jump inside the chunk", a, adj, 2, true, -1, int64_t(adj / cs + 1), false, video_at, 0, 0,
         0, by_map},
        {"cadence at 16384", a, adj, 2, false, -1, -1, true, video_at, 1, 2, 16384, by_cadence},
        {"cadence at 20480", a, adj, 2, false, -1, -1, true, video_at, 1, 3, 20480, by_cadence},
        {"no cadence at 16383", a, adj, 2, false, -1, -1, true, video_at, 1, 2, 16383, silent},
        {"no cadence at 20481", a, adj, 2, false, -1, -1, true, video_at, 1, 2, 20481, silent},
        {"no cadence when the box matched one chunk", a, adj, 2, false, -1, -1, true, video_at, 1, 1, 16384, silent},
        {"no cadence for an unmapped chunk", a, adj, 2, false, -1, -1, true, video_at, 0, 2, 16384, silent},
        {"no cadence with the box before the audio end", a, adj, 2, false, -1, -1, true, video_at, 1, 2, -1, silent},
        {"final-adjacent last chunk", a, adj, 1, false, -1, -1, true, video_at, 1, 1, 16384, by_final_adjacent},
        {"final-adjacent needs the last chunk", a, adj, 2, false, -1, -1, true, video_at, 1, 1, 16384, silent},
        {"final-adjacent needs the direct file offset", a, adj + 1, 1, false, -1, -1, true, video_at, 1, 1, 16384,
         silent},
        {"final-adjacent stays inside the image", a, adj, 1, false, -1, -1, true, edge + 1, 1, 1, 16384, silent},
        {"final-adjacent up to the image end", a, adj, 1, false, -1, -1, true, edge, 1, 1, 16384, by_final_adjacent},
        {"cadence before final-adjacent", a, adj, 1, false, -1, -1, true, video_at, 1, 2, 16384, by_cadence},
        {"cadence running past the image end writes nothing", a, adj, 2, false, -1, -1, true, edge + 1, 1, 2, 16384,
         silent},
        {"video chunk not located", a, adj, 1, false, -1, -1, false, video_at, 1, 2, 16384, silent},
    };
    for (const Case& c : cases) {
        std::string out_path = (dir.path / "out.bin").string();
        std::FILE* out = platform::create_read_write(out_path.c_str());
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(platform::set_file_size(out, out_size));

        uint64_t vo[1] = {video_file}, vs[1] = {video_size}, ao[2] = {c.q, 30000}, as[2] = {c.size, 100};
        mp4::MovieInfo movie{};
        movie.video.chunk_offsets = vo, movie.video.chunk_sizes = vs, movie.video.chunk_count = 1;
        movie.audio.chunk_offsets = ao, movie.audio.chunk_sizes = as, movie.audio.chunk_count = c.audio_count;
        movie.has_audio = 1;
        uint64_t located_end = c.located_at + video_size;
        analysis::ChunkPlacement placement{};
        placement.mapped = c.mapped, placement.hit_count = c.hit_count;
        placement.kkad_offset = uint64_t(int64_t(located_end + c.size) + c.kkad_gap);
        analysis::RecoveryClip clip{};
        clip.movie = &movie, clip.chunks = &placement, clip.chunk_count = 1;
        uint8_t located = c.located;
        uint64_t at = c.located_at;

        rebuild::ClipWriteState st{};
        st.image = img.f, st.image_size = image_size, st.output = out, st.clip = &clip;
        st.located = &located, st.located_at = &at, st.file_size = out_size;
        rebuild::cluster_map_init(&st.map, out_size, cs);
        for (uint64_t u = 0; c.contiguous_map && u < st.map.count; u++)
            st.map.entries[u] = int64_t(map_base + (u + (c.jump_at >= 0 && int64_t(u) >= c.jump_at ? 4 : 0)) * cs);
        if (c.conflict_at >= 0)
            st.map.entries[c.conflict_at] = rebuild::cluster_conflict;

        rebuild::recover_audio_chunk(&st, 1);

        fixture::Bytes expected(out_size, 0), got(out_size);
        for (uint64_t x = c.q; x < c.q + c.size && c.outcome == by_map; x++)
            expected[x] = image[uint64_t(st.map.entries[x / cs]) + x % cs];
        if (c.outcome == by_cadence || c.outcome == by_final_adjacent)
            std::copy(image.begin() + located_end, image.begin() + located_end + c.size, expected.begin() + c.q);
        std::fflush(out);
        EXPECT_TRUE(platform::seek_abs(out, 0) && platform::read_exact(out, got.data(), out_size)) << c.name;
        EXPECT_TRUE(got == expected) << c.name << ": output bytes";
        EXPECT_EQ(st.audio_written, c.outcome == silent ? 0u : 1u) << c.name;
        EXPECT_EQ(st.cadence, c.outcome == by_cadence ? 1u : 0u) << c.name;
        EXPECT_EQ(st.final_adjacent, c.outcome == by_final_adjacent ? 1u : 0u) << c.name;
        EXPECT_EQ(st.silent, c.outcome == silent ? 1u : 0u) << c.name;
        rebuild::cluster_map_free(&st.map);
        std::fclose(out);
    }
}

}  // namespace
