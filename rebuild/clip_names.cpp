// Output names, the range copy and the progress percentages of the clip writer.
#include <cstdlib>
#include <cstring>

#include "engine/report.h"
#include "platform/platform.h"
#include "rebuild/clip_writer.h"

namespace rebuild {

namespace {
constexpr uint64_t copy_piece = 0x800000;
}

uint64_t copy_image_range(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                          uint64_t length)
{
    auto* buf = static_cast<uint8_t*>(engine::xmalloc(copy_piece));
    uint64_t done = 0;
    while (done < length) {
        uint64_t piece = length - done < copy_piece ? length - done : copy_piece;
        if (src_offset > UINT64_MAX - done || dst_offset > UINT64_MAX - done)
            break;
        if (!platform::seek_abs(src, src_offset + done) || !platform::read_exact(src, buf, static_cast<size_t>(piece)))
            break;
        if (!platform::seek_abs(dst, dst_offset + done) ||
            std::fwrite(buf, 1, static_cast<size_t>(piece), dst) != piece)
            break;
        done += piece;
    }
    std::free(buf);
    return done;
}

void clip_file_name(const analysis::RecoveryClip* clip, char* out, size_t cap)
{
    char time_text[64];
    const analysis::RecordingRun* run = clip->run;
    if (run && run->has_time)
        engine::bounded_format(time_text, sizeof time_text, "%04d%02d%02d_%02d%02d%02d", int(run->year),
                               int(run->month), int(run->day), int(run->hour), int(run->minute),
                               int(run->second));
    else
        engine::bounded_format(time_text, sizeof time_text, "%s", "unknown_time");
    engine::bounded_format(out, cap, "XAVC_%04d_%s.MP4", int(clip->clip_number), time_text);
}

void clip_output_path(const char* output_dir, const char* name, char* out, size_t cap)
{
    size_t n = std::strlen(output_dir);
    int needs_separator = n > 0 && output_dir[n - 1] != '/' && output_dir[n - 1] != '\\';
    if (needs_separator)
        engine::bounded_format(out, cap, "%s%c%s", output_dir, platform::path_separator, name);
    else
        engine::bounded_format(out, cap, "%s%s", output_dir, name);
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
