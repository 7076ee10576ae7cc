#pragma once
// The ways of placing a chunk's runs that all walk: where they agree on a byte's place, that place
// is sure whichever way is the camera's. A cut inside payload no length field vouches for walks on
// either side of a cluster edge; the chunk's bytes away from such edges lie where every way puts
// them, and mark the clusters the recording's file holds for the other recordings' searches.
#include <cstdint>

#include "basics/growable.h"
#include "salvage/chunk_place.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Per cluster of the camera's file that chunk [file, file + size) touches, where every way noted so
// far puts its first byte in the chunk.
struct WaysAgreed {
    uint64_t file;
    uint64_t size;
    uint64_t cs;
    uint64_t* at;  // per cluster: ways_unset, ways_differ or an image offset
    uint64_t count;
    uint64_t ways;
};

// An empty record for a chunk of `size` bytes at `file` in the camera's file, on clusters of `cs`.
WaysAgreed ways_start(uint64_t file, uint64_t size, uint64_t cs);
void ways_free(WaysAgreed* w);
// Notes one way of placing the chunk.
void ways_note(WaysAgreed* w, const ChunkPlace* place);
// Appends to `out`, as pieces of `clip` (or `tag`), the bytes in front of the chunk's byte `upto`
// that every noted way places alike, when two ways or more were noted; how many spans it appended.
// A walk reads the last sample's head but none of its payload behind, so every way keeps the last
// sample whole in one run past its first cluster edge: no way shows where those bytes lie.
uint64_t ways_sure(const WaysAgreed* w, uint64_t upto, uint32_t clip, uint32_t tag,
                   basics::Growable<ClaimedSpan, 16>* out);

}  // namespace salvage
