#pragma once
// The camera's clock as a recording's own stream states it. Its sequence parameter set gives the
// frame rate; at that rate, the sound behind a chunk of twelve frames tells which of the camera's
// sound formats it is. A recording whose movie box is gone, on a card with no movie box that
// proves the clock, still has its frames timed and each chunk's sound sized so.
#include <cstdint>
#include <cstdio>

#include "codec/sequence_timing.h"
#include "salvage/chunk_descriptions.h"
#include "salvage/pcm_format.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// A stated rate a camera may record at: 1 to 300 frames a second.
int camera_frame_rate(codec::FrameRate rate);

// The clock the recording's first key frame states (the first of `chunks` that starts with one,
// among the first 16), with `sound` bytes behind a chunk (the interleave's usual) in the camera's
// format `*pcm` then holds. All zero when that key frame carries no parameter sets or states no
// camera's rate, or the sound fits no format at it. Reads at most 64 KiB of each chunk looked at.
SoundClock clock_from_stream(std::FILE* image, const SalvageChunkList* chunks, int hevc, uint64_t sound, PcmFormat* pcm);

// With no clock proven for the recording `r` (its sound `sound` bytes behind a chunk), the one its
// stream states, kept in `keep`; the recording's sound then weighed in the format that clock
// found where the card's other movie boxes gave another size of frame. With one proven, that
// clock with the frame size its rate finds for `sound`, where that is another format's.
void take_stream_clock(RecordingScope* r, const SalvageChunkList* chunks, uint64_t sound, SoundClock* keep);

}  // namespace salvage
