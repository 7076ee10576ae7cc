#pragma once
// The located pieces of a recording that say where its file lies: each one's offset in the
// camera's file and in the image. Two of them as far apart in the image as in the file lie in
// one run.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "basics/growable.h"
#include "mp4/movie_box.h"

namespace salvage {

// A located piece of the recording: its offset in the camera's file and in the image.
struct JoinAnchor {
    uint64_t file;
    uint64_t image;
};

using AnchorList = basics::Growable<JoinAnchor, 64>;

void sort_anchors(AnchorList* anchors);
// The last anchor at or before file offset `file`, or null.
const JoinAnchor* anchor_upto(const AnchorList* anchors, uint64_t file);
// The first anchor at or after file offset `file`, or null.
const JoinAnchor* anchor_from(const AnchorList* anchors, uint64_t file);
// 1 when two anchors lie as far apart in the image as in the camera's file.
int same_run(const JoinAnchor* lo, const JoinAnchor* hi);

// The kkad boxes of the recording of `tag` with their offsets in the camera's file, from the
// movie box, the card's markers and the video chunks located whole (`found`, `found_at`), or with
// none of those, the file's start at image offset `start` (UINT64_MAX: unknown).
void place_kkad_boxes(const mp4::MovieInfo* movie, const analysis::MarkerList* markers, uint32_t tag,
                      const uint8_t* found, const uint64_t* found_at, uint64_t start, AnchorList* out);

}  // namespace salvage
