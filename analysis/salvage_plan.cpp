#include "analysis/salvage_plan.h"

#include <cstdlib>

namespace analysis {

void free_salvage_plan(SalvagePlan* plan)
{
    for (SalvageTrack& t : plan->tracks) {
        std::free(t.sample_entry);
        std::free(t.sample_sizes);
        std::free(t.key_frames);
    }
    std::free(plan->pieces);
    *plan = SalvagePlan{};
}

}  // namespace analysis
