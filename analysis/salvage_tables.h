#pragma once
// Salvage plans for the recordings whose movie box is not on the card (lost, overwritten, never
// written or beyond the end of the image): every run of kkad markers with a clip header that no
// movie box was paired with.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "analysis/salvage_plan.h"
#include "image/scan_index.h"

namespace analysis {

struct SalvageAttempt {
    uint32_t clip_number;  // the clip header's index, as the documented file names use it
    uint32_t planned;      // 1: `plan` holds what is kept; 0: `reason` says why nothing is
    char reason[96];
    SalvagePlan plan;
};
using SalvageAttemptList = basics::Growable<SalvageAttempt, 16>;

// What salvage reads of the card: the image and the lists the analysis made of it.
struct SalvageCard {
    std::FILE* image;
    uint64_t image_size;
    const image::ScanIndex* scan;
    const ClipHeaderList* headers;
    const MarkerList* markers;
    const MovieList* movies;
    const RunList* runs;
    const PairList* pairs;
};

// One attempt per such recording, in clip-number order, appended to `out`; returns how many. A
// recording cut by the end of the image has a clip header whose media data runs past that end,
// which the header list leaves out: it is taken from the scan's hits and numbered as the next
// header would be. Reads the image only; prints nothing.
size_t build_plans_without_movie(const SalvageCard* card, SalvageAttemptList* out);
// The plan of one of those recordings made again with each refused sample (named by its image
// offset, as kept_sample_offset gives it) and the rest of its chunk left out; 0 when no such
// recording is on the card, else 1 with `out` filled (planned or with its reason).
int replan_without_movie(const SalvageCard* card, uint32_t clip_number, const uint64_t* refused, size_t refused_count,
                         SalvageAttempt* out);
// The image offset of kept sample `sample` of a plan's video track; 0 when it has no such sample.
int kept_sample_offset(const SalvagePlan* plan, uint64_t sample, uint64_t* offset);
void free_salvage_attempts(SalvageAttemptList* list);

}  // namespace analysis
