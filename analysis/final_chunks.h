#pragma once
// Stage [5/6]: the last chunk of clips that miss only that one, and the recoverable count.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

namespace analysis {

// Prints the heading and the two result lines; returns the recoverable count.
size_t resolve_final_chunks(std::FILE* image, uint64_t image_size, ClipList* clips);

// No entry with both mapped and resolved at 0; a clip with no entries counts as recoverable.
int clip_is_recoverable(const RecoveryClip* clip);
// 1 when a run asked for `only_clip` (0: every clip) takes the clip with this number.
int clip_is_chosen(int32_t only_clip, uint32_t clip_number);

}  // namespace analysis
