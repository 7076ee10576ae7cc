#pragma once
// Salvage of a clip whose movie box survived but whose video the documented rules could not
// complete: every video chunk still on the card, found where the interleave puts it, with its
// sound; what is not on the card is left out and the rest plays straight through.
#include "analysis/analysis_types.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Plans the clip without the refused samples (each cuts its chunk before it) and the sound of
// the same span; the card's valid kkad markers (in image order) vouch for the bytes around the
// sound, and its geometry tells where overwritten clusters may begin. 0 with the reason in `out`
// when no video sample is kept.
int plan_with_movie(const SalvageCard* card, const analysis::RecoveryClip* clip, const RefusedSamples* refused,
                    SalvageAttempt* out);

// Adds to `out` where the pieces of the clip that its planner locates lie: its header and movie
// box, its video chunks (whole, joined across a cut, or their leading samples) and sound chunks.
void claim_located_pieces(const SalvageCard* card, const analysis::RecoveryClip* clip, ClaimList* out);

}  // namespace salvage
