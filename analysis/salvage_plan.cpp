#include "analysis/salvage_plan.h"

#include <cstdlib>

namespace analysis {

void free_salvage_track(SalvageTrack* track)
{
    std::free(track->sample_entry);
    std::free(track->sample_sizes);
    std::free(track->key_frames);
    *track = SalvageTrack{};
}

void free_salvage_plan(SalvagePlan* plan)
{
    for (SalvageTrack& t : plan->tracks)
        free_salvage_track(&t);
    std::free(plan->pieces);
    *plan = SalvagePlan{};
}

}  // namespace analysis
