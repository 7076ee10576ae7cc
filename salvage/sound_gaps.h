#pragma once
// Sound of several recordings cut at cluster edges that the located pieces alone leave open. The
// recordings written at once alternate their runs, so where one recording's run ends another's
// begins: each open edge of one recording's sound is kept only while every other recording's open
// sound keeps an edge whose runs do not overlap its runs. An edge left alone so, whose runs
// another recording's piece (located, or settled so) ends right behind the first and right before
// the second, settles the sound.
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/cut_join.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Most open sound gaps weighed together: a card that leaves more open settles none of them.
constexpr uint64_t sound_gaps_max = 128;

// Notes bytes [file, file + size) of clip `clip` (kkad tag `tag`) between `lo` and `hi` in `out`
// with the edges `claims` leave for the cut, when they leave any.
void note_sound_gap(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                    uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                    SoundGapList* out);

// Fills claims->settled from claims->gaps and the located pieces in claims->spans. A
// contradiction (a gap left with no edge) settles nothing.
void settle_sound_gaps(const image::ImageGeometry* geometry, ClaimList* claims);

// The settled gap of clip `clip` for bytes [file, file + size), or null.
const SoundGap* settled_gap(const ClaimList* claims, uint32_t clip, uint64_t file, uint64_t size);

}  // namespace salvage
