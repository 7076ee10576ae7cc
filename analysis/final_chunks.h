#pragma once
// Stage [5/6]: the last chunk of clips that miss only that one, and the recoverable count.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

namespace analysis {

// Prints the heading and the two result lines; returns the recoverable count and sets
// *final_found.
size_t resolve_final_chunks(std::FILE* image, uint64_t image_size, ClipList* clips, size_t* final_found);

}  // namespace analysis
