#include "rebuild/clip_names.h"

#include "basics/output.h"

namespace rebuild {

namespace {

struct RecordingTime {
    uint32_t has_time, year, month, day, hour, minute, second;
};

void time_text(const RecordingTime& t, char* out, size_t cap)
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
    const analysis::RecordingRun* run = clip->run;
    RecordingTime t{};
    if (run)
        t = {run->has_time, run->year, run->month, run->day, run->hour, run->minute, run->second};
    time_text(t, text, sizeof text);
    basics::bounded_format(out, cap, "XAVC_%04d_%s.MP4", int(clip->clip_number), text);
}

void salvaged_file_name(const analysis::SalvagePlan* plan, char* out, size_t cap)
{
    char text[64];
    time_text({plan->has_time, plan->year, plan->month, plan->day, plan->hour, plan->minute, plan->second}, text,
              sizeof text);
    basics::bounded_format(out, cap, "XAVC_%04d_%s_salvaged.MP4", int(plan->clip_number), text);
}

}  // namespace rebuild
