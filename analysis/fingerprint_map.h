#pragma once
// Stage [4/6]: every expected video chunk fingerprinted by its file offset and twelve sample
// sizes, and every kkad box of the image searched for descriptions that match.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

namespace analysis {

// A kkad box is read whole when it is at most 64 KiB; below 316 bytes it holds no chunk description.
constexpr uint64_t max_kkad_box = 65536;
constexpr uint64_t min_kkad_box = 316;

// The kkad box whose type characters are at `marker_offset`, read into `box` (room for
// max_kkad_box bytes); 1 and its size in *size when it is whole and large enough for a description.
int read_kkad_box(std::FILE* image, uint64_t image_size, uint64_t marker_offset, uint8_t* box, uint64_t* size);
// The chunk description that would start at byte position k of a box (k + min_kkad_box <= box
// size): the chunk's offset in the camera's file and its twelve sample sizes.
void read_chunk_description(const uint8_t* box, uint64_t k, uint64_t* chunk_offset,
                            uint32_t sizes[camera_chunk_samples]);

uint64_t mix64(uint64_t x);
uint64_t chunk_fingerprint(uint64_t chunk_offset, const uint32_t sizes[camera_chunk_samples]);

// Prints the heading, the fingerprint line, the progress lines and the totals.
void map_fingerprints(std::FILE* image, uint64_t image_size, const MarkerList* markers, ClipList* clips);

}  // namespace analysis
