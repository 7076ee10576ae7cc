#pragma once
// The name of a recovered clip's file.
#include <cstddef>
#include <cstdint>

#include "analysis/analysis_types.h"

namespace rebuild {

// "XAVC_%04d_%s.MP4" with the run's time text or "unknown_time".
void clip_file_name(const analysis::RecoveryClip* clip, char* out, size_t cap);
// "XAVC_%04d_%s_salvaged.MP4" with the same clip number and time text; a recording's later
// parts (2 and on) end "_salvaged_part%u.MP4".
void salvaged_file_name(uint32_t clip_number, const analysis::RecordingTime* time, uint32_t part, char* out,
                        size_t cap);

}  // namespace rebuild
