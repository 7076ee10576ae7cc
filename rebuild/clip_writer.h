#pragma once
// Stage [6/6]: one recoverable clip written as a new MP4 file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"

namespace rebuild {

// 1 when the file was written and renamed to its final name, 0 when the clip was given up.
int write_clip(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
               const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
               int validate, size_t file_index, size_t file_count);

}  // namespace rebuild
