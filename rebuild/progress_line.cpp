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

FileProgress begin_file_progress(size_t file_index, size_t file_count, int clip)
{
    return FileProgress{ProgressLine{file_index, file_count, clip}, file_count != 0, -1};
}

void progress_step(FileProgress* progress, int percent, const char* activity)
{
    if (progress->show) {
        progress_print(progress->line, percent, "%s", activity);
        progress->last_percent = percent;
    }
}

void progress_video_chunk(FileProgress* progress, uint64_t written, uint64_t chunk_count)
{
    int pct = video_percent(written, chunk_count);
    if (progress->show && video_progress_due(pct, progress->last_percent)) {
        progress_print(progress->line, pct, "video chunk %zu/%zu", size_t(written), size_t(chunk_count));
        progress->last_percent = pct;
    }
}

void progress_audio_chunk(FileProgress* progress, uint64_t done, uint64_t chunk_count)
{
    int last_chunk = 0;
    int pct = audio_percent(done, chunk_count, &last_chunk);
    if (progress->show && audio_progress_due(pct, last_chunk, progress->last_percent)) {
        progress_print(progress->line, pct, "audio chunk %zu/%zu", size_t(done), size_t(chunk_count));
        progress->last_percent = pct;
    }
}

HeldChunks hold_chunks(FileProgress* progress, uint64_t total)
{
    HeldChunks held{};
    held.progress = progress;
    held.total = total;
    return held;
}

namespace {

void show_oldest(HeldChunks* held)
{
    held->first = (held->first + 1) % held_chunks_max;
    held->count--;
    progress_video_chunk(held->progress, ++held->shown, held->total);
}

}  // namespace

void hold_chunk(HeldChunks* held, uint64_t end_sample, uint64_t pushes)
{
    if (held->count == held_chunks_max)
        show_oldest(held);
    held->held[(held->first + held->count++) % held_chunks_max] = {end_sample, pushes};
    held->counted++;
}

void show_settled(HeldChunks* held, uint64_t pushes)
{
    while (held->count && held->held[held->first].pushes + results_settled_after <= pushes)
        show_oldest(held);
}

void show_before(HeldChunks* held, uint64_t sample)
{
    while (held->count && held->held[held->first].end_sample <= sample)
        show_oldest(held);
    held->count = 0;
    held->counted = held->shown;
}

void show_all(HeldChunks* held)
{
    while (held->count)
        show_oldest(held);
}

void show_chunk(HeldChunks* held)
{
    show_all(held);
    held->counted++;
    progress_video_chunk(held->progress, ++held->shown, held->total);
}

static char last_error[256];

void clip_error(int clip, const char* fmt, ...)
{
    std::fprintf(stderr, "clip %d: ", clip);
    va_list args;
    va_start(args, fmt);
    basics::stream_vprintf(stderr, fmt, args);
    va_end(args);
    va_start(args, fmt);
    std::vsnprintf(last_error, sizeof last_error, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

const char* last_clip_error() { return last_error; }

void clear_last_clip_error() { last_error[0] = 0; }

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
