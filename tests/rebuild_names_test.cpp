#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
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

// The progress lines of one file written as the writers write it: its steps, each video chunk,
// each audio chunk; the percents printed, every line checked for the file and clip it names.
std::vector<int> printed(size_t file_count, uint64_t video, uint64_t audio)
{
    testing::internal::CaptureStdout();
    rebuild::FileProgress p = rebuild::begin_file_progress(2, file_count, 7);
    rebuild::progress_step(&p, 0, "preparing");
    for (uint64_t j = 1; j <= video; j++)
        rebuild::progress_video_chunk(&p, j, video);
    rebuild::progress_step(&p, 90, "video complete");
    for (uint64_t j = 1; j <= audio; j++)
        rebuild::progress_audio_chunk(&p, j, audio);
    rebuild::progress_step(&p, 99, "finalizing MP4");
    rebuild::progress_step(&p, 100, "complete");
    std::istringstream lines(testing::internal::GetCapturedStdout());
    std::vector<int> shown;
    std::string head = "Writing file 2 of " + std::to_string(file_count) + " | clip 7 | ";
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.substr(0, head.size()), head);
        shown.push_back(std::atoi(line.substr(line.rfind(" | ") + 3).c_str()));
    }
    return shown;
}

// from, from + 2 ... to, then `tail`.
std::vector<int> evens(int from, int to, std::vector<int> tail)
{
    std::vector<int> out;
    for (int p = from; p <= to; p += 2)
        out.push_back(p);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

TEST(ClipProgress, PercentSequences)
{
    struct Case {
        const char* name;
        size_t file_count;
        uint64_t video, audio;
        std::vector<int> expected;
    } cases[] = {
        {"10 video and 3 audio chunks", 5, 10, 3, {0, 8, 17, 25, 34, 42, 51, 59, 68, 76, 85, 90, 92, 95, 98, 99, 100}},
        {"1 chunk of each", 5, 1, 1, {0, 85, 90, 98, 99, 100}},
        {"video steps by at least 2 and always shows 85", 5, 100, 1, evens(0, 84, {85, 90, 98, 99, 100})},
        {"16 audio chunks step by 2 and end at 98", 5, 1, 16, {0, 85, 90, 92, 94, 96, 98, 99, 100}},
        {"a file count of 0 shows nothing", 0, 10, 3, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(printed(c.file_count, c.video, c.audio), c.expected) << c.name;
}

}  // namespace
