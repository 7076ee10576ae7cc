#pragma once
// Audio chunks, placed by the cluster layout, the camera's cadence or the last video chunk.
#include <cstdint>

#include "rebuild/clip_write_state.h"

namespace rebuild {

// Recovers audio chunk `number` (1-based) into the open output file and raises the counters.
void recover_audio_chunk(ClipWriteState* state, uint64_t number);

}  // namespace rebuild
