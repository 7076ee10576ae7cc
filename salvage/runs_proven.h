#pragma once
// How long the runs of a recording's file are shown to be near two of its located pieces: a join
// that would make a run longer than the file's runs there would take clusters of another file.
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/join_anchors.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Recordings whose runs runs_proven weighs, and how many clusters around the two pieces it looks
// at on either side.
constexpr uint32_t runs_recordings_max = 8;
constexpr uint64_t runs_window_clusters = 256;
// 1 when the runs `lo` and `hi` would have with the boundary between them at file offset `cut` are
// no longer than the runs of the file are shown to be: each part touches no cluster but the one of
// its own located piece, or near the two a run as long as the longer part lies between two runs of
// one other recording, the recording of `clip` (or `tag`) one of the two. Such a run is shown by
// pieces in `claims` with their file offsets that lie as far apart in the image as in the file. A
// part longer than the runs the file has there would take clusters of another file in it.
int runs_proven(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                JoinAnchor lo, JoinAnchor hi, uint64_t cut);

}  // namespace salvage
