#pragma once
// Salvage plans for the recordings whose movie box is not on the card (lost, overwritten, never
// written or beyond the end of the image): every run of kkad markers with a clip header that no
// movie box was paired with.
#include <cstddef>
#include <cstdint>

#include "salvage/salvage_plan.h"

namespace salvage {

// One attempt per such recording, in clip-number order, appended to `out`; returns how many. A
// recording whose media data runs past the end of the image has a clip header the header list
// leaves out: it is taken from the scan's hits (salvage/cut_headers.h). Reads the image only;
// prints nothing.
size_t build_plans_without_movie(const SalvageCard* card, SalvageAttemptList* out);
// The plan of one of those recordings made again without the refused samples; 0 when no such
// recording is on the card, else 1 with `out` filled (planned or with its reason).
int replan_without_movie(const SalvageCard* card, uint32_t clip_number, const RefusedSamples* refused,
                         SalvageAttempt* out);
// The video chunks those recordings' plans locate and the sound they place, as pieces of their
// clips, appended to `out`.
void claim_located_without_movie(const SalvageCard* card, ClaimList* out);
void free_salvage_attempts(SalvageAttemptList* list);

}  // namespace salvage
