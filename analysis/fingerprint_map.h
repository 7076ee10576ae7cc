#pragma once
// Stage [4/6]: every expected video chunk fingerprinted by its file offset and twelve sample
// sizes, and every kkad box of the image searched for descriptions that match.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

namespace analysis {

uint64_t mix64(uint64_t x);
uint64_t chunk_fingerprint(uint64_t chunk_offset, const uint32_t sizes[camera_chunk_samples]);

// Prints the heading, the fingerprint line, the progress lines and the totals.
void map_fingerprints(std::FILE* image, uint64_t image_size, const MarkerList* markers, ClipList* clips);

}  // namespace analysis
