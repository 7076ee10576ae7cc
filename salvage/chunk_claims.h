#pragma once
// How much of a video chunk found without its movie box the card shows to be the recording's.
// Walking a sample reads its units' length fields but none of their payload, so a chunk whose
// samples all walk in one run may still end in another file's cluster: a fragment boundary on a
// cluster edge inside its last unit's payload leaves every length field in front of it.
#include <cstdint>
#include <cstdio>

#include "image/exfat_detect.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// The chunk's bytes from its start that are its own for certain, of the `bytes` walked: all of
// them where the sound behind it is placed (what follows it stands where the camera put it) or no
// cluster edge lies inside the last unit's payload of its last run; else those in front of the
// first such edge.
uint64_t chunk_bytes_shown(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const SalvageChunk* c, uint64_t bytes);

}  // namespace salvage
