#pragma once
// Two recordings written at once share the clusters between their located pieces, but a third file
// written beside them takes some of those clusters too, and a cluster none of the pieces shows may
// be its. A recording's clusters lie in the heap's order, from its clip header on to its movie box:
// it may hold a cluster only in front of its first located piece (unless that is its clip header or
// its file's first cluster), between two of its pieces that its file does not have side by side, or
// behind its last one (unless that is the movie box that ends its file).
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// The recordings a count weighs as its own (`clip`, `tag`) and as the other (`other_clip`,
// `other_tag`; both 0: none); pieces of neither are a third's.
struct CountedFiles {
    uint32_t clip, tag;
    uint32_t other_clip, other_tag;
};

// Sets `may[i]` for each of the heap's clusters `first + i` (i below n) where a recording other than
// the two of `files` may hold a cluster as its located pieces in `claims` show. Only the pieces up to
// `reach` clusters on either side are weighed: a recording with none there is written nowhere near,
// as each of its chunks holds a located kkad box and none is that long.
void mark_third_room(const image::ImageGeometry* geometry, const ClaimList* claims, const CountedFiles& files,
                     uint64_t first, uint64_t n, uint64_t reach, uint8_t* may);

}  // namespace salvage
