#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/final_chunks.h"
#include "analysis/fingerprint_map.h"
#include "analysis/recording_runs.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

const uint64_t base = 8192;  // image offset of the clip's ftyp box

// Validation and stages 3 and 4 on an image, as the driver runs them.
struct Analysis : fixture::ImageAnalysis {
    Analysis(const Bytes& image, const fixture::TempImage& file) : ImageAnalysis(image, file)
    {
        analysis::map_fingerprints(file.f, file.size, &markers, &clips);
    }
};

struct FinalCase {
    const char* name;
    fixture::RecordingSpec recording;
    int64_t move_last;     // bytes the last video chunk is moved by in the image
    bool wipe_last;        // the last video chunk is gone from the image
    std::function<void(analysis::ChunkPlacement*)> after_mapping;
    size_t found, recoverable;
};

TEST(AnalysisFinalChunks, LastChunkByTheCameraInterleaving)
{
    const fixture::RecordingSpec three{.chunks = 3}, one{.chunks = 1}, silent{.chunks = 3, .audio_bytes = 0};
    const FinalCase cases[] = {
        {"last chunk where the interleaving puts it", three, 0, false, nullptr, 1, 1},
        {"no sound track", silent, 0, false, nullptr, 1, 1},
        {"last chunk 100 bytes further, found in the window", three, 100, false, nullptr, 1, 1},
        {"last chunk gone", three, 0, true, nullptr, 0, 0},
        {"one-chunk clip keeps its entry open", one, 0, false, nullptr, 0, 0},
        {"open entry that is not the last stays open", three, 0, false,
         [](analysis::ChunkPlacement* c) { c[1] = analysis::ChunkPlacement{}; c[2].mapped = 1; }, 0, 0},
        {"two open entries stay open", three, 0, false, [](analysis::ChunkPlacement* c) { c[0] = analysis::ChunkPlacement{}; },
         0, 0},
    };
    for (const FinalCase& c : cases) {
        std::vector<uint64_t> video_at;
        Bytes image(base, 0);
        mkcard::put_bytes(image, fixture::make_recording(c.recording, &video_at));
        uint32_t last = c.recording.chunks - 1;
        uint64_t last_at = base + video_at[last];
        std::vector<uint32_t> last_sizes = fixture::video_sizes(c.recording, last);
        uint64_t last_bytes = std::accumulate(last_sizes.begin(), last_sizes.end(), uint64_t(0));
        if (c.move_last || c.wipe_last) {
            Bytes data(image.begin() + last_at, image.begin() + last_at + last_bytes);
            std::fill(image.begin() + last_at, image.begin() + last_at + last_bytes, 0);
            if (!c.wipe_last)
                std::copy(data.begin(), data.end(), image.begin() + last_at + c.move_last);
        }
        fixture::TempImage file(image, c.name);
        testing::internal::CaptureStdout();
        Analysis a(image, file);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(a.clips.count, 1u) << c.name;
        analysis::RecoveryClip* clip = &a.clips.items[0];
        ASSERT_EQ(clip->mapped_count, uint64_t(last)) << c.name << ": every chunk but the last is mapped";
        if (c.after_mapping)
            c.after_mapping(clip->chunks);
        testing::internal::CaptureStdout();
        size_t recoverable = analysis::resolve_final_chunks(file.f, file.size, &a.clips);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\n[5/6] Resolving final video chunks...\n  tail final chunks found=" + std::to_string(c.found) +
                      "\n  recoverable clips=" + std::to_string(c.recoverable) + "/1\n")
            << c.name;
        EXPECT_EQ(recoverable, c.recoverable) << c.name;
        EXPECT_EQ(analysis::clip_is_recoverable(clip), int(c.recoverable)) << c.name;
        if (c.found) {
            EXPECT_EQ(clip->chunks[last].resolved, 1u) << c.name;
            EXPECT_EQ(clip->chunks[last].data_offset, last_at + c.move_last) << c.name;
            EXPECT_EQ(clip->resolved_count, 1u) << c.name;
            // every chunk can now be located where the camera wrote it
            for (uint32_t j = 0; j + 1 < c.recording.chunks; j++) {
                uint64_t out = 0;
                EXPECT_EQ(analysis::locate_chunk(file.f, file.size, clip->movie, clip->chunks, j, &out), 1) << c.name;
                EXPECT_EQ(out, base + video_at[j]) << c.name << " chunk " << j;
            }
        } else {
            EXPECT_EQ(clip->chunks[last].resolved, 0u) << c.name;
        }
    }
}

}  // namespace
