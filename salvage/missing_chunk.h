#pragma once
// A video chunk of a clip with its movie box that the documented rules did not find where the
// movie box puts it, or found whole but ending in another recording's piece: looked for at the
// distance its located neighbours keep in the camera's file, between them, by its leading samples,
// and joined across the cuts fragment boundaries made.
#include <cstdint>

#include "salvage/movie_planner.h"

namespace salvage {

// Finds chunk k, which the documented rules did not: whole, joined across its cuts, by counting
// the clusters around it, or its leading samples alone.
void find_missing_chunk(MoviePlanner* p, uint64_t k);

// A chunk whose samples all walk where it was found may still end in another recording's piece:
// the walk does not read inside a unit, so a fragment boundary in its last unit leaves the walk
// whole; so does a boundary on an edge in that unit (tail_cut). The chunk is taken again from its
// samples in front of that piece or edge and joined, or keeps those samples alone.
void recheck_found_chunk(MoviePlanner* p, uint64_t k);

}  // namespace salvage
