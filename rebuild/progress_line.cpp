#include "rebuild/progress_line.h"

#include <cstdarg>
#include <cstdio>

namespace rebuild {

void progress_print(const ProgressLine& line, int percent, const char* activity_fmt, ...)
{
    char activity[128];
    va_list args;
    va_start(args, activity_fmt);
    std::vsnprintf(activity, sizeof activity, activity_fmt, args);
    va_end(args);
    basics::out_printf("Writing file %zu of %zu | clip %d | %s | %d%%\n", line.file, line.total, line.clip,
                       activity, percent);
}

void clip_error(int clip, const char* fmt, ...)
{
    std::fprintf(stderr, "clip %d: ", clip);
    va_list args;
    va_start(args, fmt);
    basics::stream_vprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

int video_percent(uint64_t written, uint64_t chunk_count)
{
    if (chunk_count == 0)
        return 85;
    return static_cast<int>(written * 85 / chunk_count);
}

int audio_percent(uint64_t done, uint64_t chunk_count, int* last_chunk)
{
    uint64_t q = chunk_count ? done * 8 / chunk_count : 8;
    *last_chunk = q == 8;
    return q + 90 < 98 ? static_cast<int>(q + 90) : 98;
}

int video_progress_due(int percent, int last)
{
    return percent != last && (percent == 0 || percent == 85 || percent > last + 1);
}

int audio_progress_due(int percent, int last_chunk, int last)
{
    return percent != last && (last_chunk || percent > last + 1);
}

}  // namespace rebuild
