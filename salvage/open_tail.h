#pragma once
// A described chunk of a recording without its movie box that the joiner placed only up to the
// open tail of its last sample: the payload behind the first cluster edge past that sample's last
// length field, which no walk places. The tail and the sound the camera wrote right behind it lie
// together between the chunk's last placed byte and the recording's next located piece (the kkad
// box behind the sound, or the next chunk): where the other recordings' pieces leave one way, or
// the sound's own samples prove one, the chunk is whole when its last sample walks intact across
// the tail.
#include <cstdint>

#include "salvage/chunk_descriptions.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// Closes chunk `c` (open_tail set, its file offset and size known) with `sound` bytes of sound
// behind it; `next` the recording's next chunk (null: none), `to_box` the distance in the file
// from the chunk's end to the kkad box `c->box` (0: unknown). On success the chunk holds its
// twelve samples and its sound's place, and 1 (placed_by_room where only the others' pieces
// placed it) is returned; 0 leaves it as it was.
int close_open_tail(const RecordingScope* r, SalvageChunk* c, const SalvageChunk* next, uint64_t sound,
                    uint64_t to_box, const OthersPieces* others);

// A chunk taken as lying whole in its runs, its sound not found behind it: its last sample's
// payload may run over a cluster edge past that sample's last length field, which no walk sees.
// Closed as close_open_tail closes an open tail, from that edge on; 0 leaves it as it was.
int close_unseen_tail(const RecordingScope* r, SalvageChunk* c, const SalvageChunk* next, uint64_t sound,
                      uint64_t to_box, const OthersPieces* others);

}  // namespace salvage
