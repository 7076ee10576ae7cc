#include "rebuild/clip_names.h"

#include "basics/output.h"

namespace rebuild {

void clip_file_name(const analysis::RecoveryClip* clip, char* out, size_t cap)
{
    char time_text[64];
    const analysis::RecordingRun* run = clip->run;
    if (run && run->has_time)
        basics::bounded_format(time_text, sizeof time_text, "%04d%02d%02d_%02d%02d%02d", int(run->year),
                               int(run->month), int(run->day), int(run->hour), int(run->minute),
                               int(run->second));
    else
        basics::bounded_format(time_text, sizeof time_text, "%s", "unknown_time");
    basics::bounded_format(out, cap, "XAVC_%04d_%s.MP4", int(clip->clip_number), time_text);
}

}  // namespace rebuild
