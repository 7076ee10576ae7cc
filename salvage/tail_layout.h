#pragma once
// The last sample of a chunk found whole whose last unit's payload runs over a cluster edge, the
// recording's next piece in another run: no walk reads that payload, so the fragment boundary may
// fall on the edge or anywhere up to that piece. The layout of the files written at once settles
// it when it can; else the payload behind the edge is left open.
#include <cstdint>

#include "salvage/movie_planner.h"

namespace salvage {

// Chunk k, found whole in one run that no other recording's piece cuts, kept so when the layout
// shows its run going on over the edge inside its last unit's payload; joined at that edge when
// the layout puts the rest of the file in the first cluster the others' pieces leave behind it and
// the last sample walks whole so; else left with that payload open (its samples in front of the
// last one kept, the tail looked for with the sound behind it). Nothing changes while the others'
// pieces are not known.
void settle_tail_by_layout(MoviePlanner* p, uint64_t k);

// Chunk k joined across fragment boundaries at `place`: the byte of the chunk from which the
// payload of its last unit, past a cluster edge in its last run, is placed by nothing when the
// recording's next piece lies in another run and the layout does not show that run going on over
// the edge; 0 when the join places the whole chunk, or while the others' pieces are not known.
uint64_t joined_tail_open(const MoviePlanner* p, uint64_t k, const ChunkPlace* place);

}  // namespace salvage
