#include "rebuild/clip_names.h"

#include "analysis/recording_runs.h"
#include "basics/output.h"

namespace rebuild {

namespace {

void time_text(const analysis::RecordingTime& t, char* out, size_t cap)
{
    if (t.has_time)
        basics::bounded_format(out, cap, "%04d%02d%02d_%02d%02d%02d", int(t.year), int(t.month), int(t.day),
                               int(t.hour), int(t.minute), int(t.second));
    else
        basics::bounded_format(out, cap, "%s", "unknown_time");
}

}  // namespace

void clip_file_name(const analysis::RecoveryClip* clip, char* out, size_t cap)
{
    char text[64];
    time_text(analysis::recording_time_of(clip->run), text, sizeof text);
    basics::bounded_format(out, cap, "XAVC_%04d_%s.MP4", int(clip->clip_number), text);
}

void salvaged_file_name(uint32_t clip_number, const analysis::RecordingTime* time, uint32_t part, char* out, size_t cap)
{
    char text[64];
    time_text(*time, text, sizeof text);
    if (part < 2)
        basics::bounded_format(out, cap, "XAVC_%04d_%s_salvaged.MP4", int(clip_number), text);
    else
        basics::bounded_format(out, cap, "XAVC_%04d_%s_salvaged_part%u.MP4", int(clip_number), text, part);
}

}  // namespace rebuild
