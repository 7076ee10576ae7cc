#pragma once
// A sample's head shows it as the camera writes it: a delimiter first, its units' length fields
// walking exactly to its size. The first bytes of a sample keep their offset inside a cluster
// wherever its run lies, so a sample whose head stands in exactly one of the clusters between two
// located pieces of its recording lies there, however the runs around it are cut.
#include <cstdint>
#include <cstdio>

#include "basics/growable.h"
#include "codec/nal_units.h"
#include "image/exfat_detect.h"
#include "mp4/sample_tables.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Bytes of the card read at once for the look for sample heads: a stretch longer than this is not
// searched.
constexpr uint64_t heads_read_max = 0x4000000;

// Each sample of `sizes`, the first at `file` in the camera's file of the recording of `clip` (or
// `tag`), whose first bytes up to its cluster's edge show it as the camera writes it in exactly
// one of the heap's clusters from the one holding image offset `lo` to the one holding `hi`, none
// of another recording's pieces in `claims` (null: none known) there: appended to `out` as a piece
// of the recording, those bytes with their file offset. A stretch of more than `clusters_max`
// clusters, or heads_read_max bytes, is not searched.
void find_sample_heads(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                       const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t lo, uint64_t hi, uint64_t file,
                       const mp4::SampleSizes* sizes, codec::Syntax syntax, uint64_t clusters_max,
                       basics::Growable<ClaimedSpan, 16>* out);

// The image offset of the head of the one sample of `size` bytes at `file` in the camera's file
// that find_sample_heads finds between `lo` and `hi`; 0 when it finds none.
uint64_t sample_head_between(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                             const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t lo, uint64_t hi,
                             uint64_t file, uint32_t size, codec::Syntax syntax);

}  // namespace salvage
