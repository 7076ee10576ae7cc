#pragma once
// Candidate validation: every raw hit read back from the image and checked.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/scan_index.h"

namespace analysis {

// Runs the three passes (clip headers, markers, movie boxes) and prints the valid-count line.
void validate_candidates(std::FILE* image, uint64_t image_size, const image::ScanIndex* index,
                         ClipHeaderList* headers, MarkerList* markers, MovieList* movies);

int validate_clip_header(std::FILE* image, uint64_t image_size, uint64_t hit, ClipHeader* out);
int validate_marker(std::FILE* image, uint64_t image_size, uint64_t hit, KkadMarker* out);
// Days since 1970-01-01 in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, uint32_t month, uint32_t day);

}  // namespace analysis
