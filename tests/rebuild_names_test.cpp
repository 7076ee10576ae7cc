#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rebuild/clip_names.h"
#include "rebuild/progress_line.h"

namespace {

TEST(ClipNames, FileNameCarriesClipNumberAndRecordingTime)
{
    struct Case {
        const char* name;
        uint32_t clip_number, has_time, y, mo, d, h, mi, s;
        const char* expected;
    } cases[] = {
        {"no time", 7, 0, 2024, 1, 31, 23, 59, 59, "XAVC_0007_unknown_time.MP4"},
        {"last second of January", 7, 1, 2024, 1, 31, 23, 59, 59, "XAVC_0007_20240131_235959.MP4"},
        {"single digits padded", 3, 1, 2023, 2, 3, 4, 5, 6, "XAVC_0003_20230203_040506.MP4"},
        {"five-digit clip number widens", 12345, 0, 0, 0, 0, 0, 0, 0, "XAVC_12345_unknown_time.MP4"},
    };
    for (const Case& c : cases) {
        analysis::RecordingRun run{};
        run.has_time = c.has_time, run.year = c.y, run.month = c.mo, run.day = c.d, run.hour = c.h, run.minute = c.mi, run.second = c.s;
        analysis::RecoveryClip clip{};
        clip.clip_number = c.clip_number, clip.run = &run;
        char out[256];
        rebuild::clip_file_name(&clip, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.name;
    }
}

// The percentages a run of chunk writes would print, following the writer's rules.
std::vector<int> printed(bool audio, uint64_t count)
{
    std::vector<int> shown;
    int last = audio ? 90 : -1;
    for (uint64_t j = 1; j <= count; j++) {
        int last_chunk = 0;
        int pct = audio ? rebuild::audio_percent(j, count, &last_chunk) : rebuild::video_percent(j, count);
        if (audio ? rebuild::audio_progress_due(pct, last_chunk, last) : rebuild::video_progress_due(pct, last))
            shown.push_back(last = pct);
    }
    return shown;
}

TEST(ClipProgress, PercentSequences)
{
    struct Case {
        const char* name;
        bool audio;
        uint64_t count;
        std::vector<int> expected;
    } cases[] = {
        {"10 video chunks", false, 10, {8, 17, 25, 34, 42, 51, 59, 68, 76, 85}},
        {"1 video chunk", false, 1, {85}},
        {"3 audio chunks", true, 3, {92, 95, 98}},
        {"1 audio chunk", true, 1, {98}},
        {"16 audio chunks step by 2 and end at 98", true, 16, {92, 94, 96, 98}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(printed(c.audio, c.count), c.expected) << c.name;
}

}  // namespace
