#pragma once
// How much of a video chunk found without its movie box the card shows to be the recording's.
// Walking a sample reads its units' length fields but none of their payload, so a chunk whose
// samples all walk in one run may still end in another file's cluster: a fragment boundary on a
// cluster edge inside its last unit's payload leaves every length field in front of it. The
// samples behind a chunk's last run that is known may still show where they lie by their heads.
#include <cstdint>
#include <cstdio>

#include "image/exfat_detect.h"
#include "salvage/salvage_chunks.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// The chunk's bytes from its start that are its own for certain, of the `bytes` walked: all of
// them where the sound behind it is placed (what follows it stands where the camera put it) or no
// cluster edge lies inside the last unit's payload of its last run; else those in front of the
// first such edge.
uint64_t chunk_bytes_shown(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const SalvageChunk* c, uint64_t bytes);

// The samples of chunk `c` (of the recording of `clip` and kkad tag `tag`) that begin at or behind
// its byte `bytes`, the bytes its known runs hold, located by their heads (find_sample_heads)
// between the end of those runs and image offset `next`, where the recording's next located chunk
// begins: appended to `out` with their file offsets, for the other recordings to count their
// clusters by. Only a chunk its kkad box describes, with its file offset, is looked at.
void claim_sample_heads(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                        const ClaimList* claims, uint32_t clip, uint32_t tag, const SalvageChunk* c, uint64_t bytes,
                        uint64_t next, int hevc, basics::Growable<ClaimedSpan, 256>* out);

}  // namespace salvage
