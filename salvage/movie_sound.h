#pragma once
// The sound of a clip with its movie box: each sound chunk placed where the pieces around it prove
// it lies, and where the planner's pieces lie for the other recordings' planners.
#include "salvage/movie_planner.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Places every sound chunk whose video chunk is on the card and whose place the pieces around it
// prove (one run, or a cut the layout or the other recordings' pieces leave one choice for);
// 1 when any is placed.
int place_sound(MoviePlanner* p);

// Adds to `out` the image bytes of the clip's header and movie box, of every video chunk or its
// leading samples, and of every sound chunk the planner placed with what follows it up to the
// next piece where that is in the piece's run.
void claim_pieces(const MoviePlanner* p, ClaimList* out);

}  // namespace salvage
