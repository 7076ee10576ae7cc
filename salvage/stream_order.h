#pragma once
// The presentation order of a recording whose movie box is gone, read from its own slice
// headers: where each sample is shown against where it is decoded.
#include <cstdint>
#include <cstdio>

#include "codec/parameter_sets.h"
#include "salvage/presentation.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// Fills camera_chunk_samples entries per chunk, in the chunks' order: a sample is usable when the
// chunk holds it, it lies before usable_end[chunk] and its slice header places it (a picture
// whose references the card lost is not usable). Offsets are in ticks of one frame lasting
// `frame_ticks`: a sample's place in presentation order less its place in decode order, both
// counted from the key frame that starts its stretch of picture order. Without sets to read the
// slice headers under, every offset is 0 and nothing else changes. Reads the chunks' bytes into
// the direct-read buffer.
void order_samples(std::FILE* image, const SalvageChunkList* chunks, const uint32_t* usable_end,
                   const codec::ParameterSets* sets, int hevc, uint32_t frame_ticks, OrderedSample* out);

}  // namespace salvage
