#pragma once
// The recording's chunks between and behind the ones its kkad boxes locate, walked unit by unit
// where the camera's interleave and the kkad boxes in front of them put them.
#include <cstdint>

#include "salvage/chunk_descriptions.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// The chunks found so far, in recording order, with the distances that lead from one to the next.
struct Chain {
    const RecordingScope* r;
    uint64_t between;
    SalvageChunkList* chunks;
    uint64_t to_box;  // from a chunk's end to the kkad box that describes it, in one run; 0 unknown
    uint64_t box_to_chunk;  // from the kkad box in front of a chunk to the chunk; 0 unknown
    const OthersPieces* others;  // the other recordings' located pieces; null: none known
    const Described* last_described = nullptr;  // the last description the chain has passed
    uint64_t lead_box = 0;  // the recording's first kkad box, in the metadata in front of its first chunk; 0: none
};

// The last chunk found; null: none yet.
SalvageChunk* last_chunk(Chain* c);

// Where the chunk behind the kkad box at `box` starts when no fragment boundary lies between
// them (0: unknown); `sure` is 1 when the box's cluster holds the start, so that none can.
uint64_t behind_box(const Chain* c, uint64_t box, int* sure);

// Where the chunk behind `prev` starts: behind the kkad box in front of it where its cluster
// holds the start, else the interleave's distance behind `prev`.
uint64_t next_start(const Chain* c, const SalvageChunk* prev);

// A chunk whose twelfth sample ended where the units stopped makes sense only when the camera's
// next chunk follows at the interleave's distance; without that the twelfth is left out.
void settle_open_end(Chain* c, int confirmed);

// Walks chunk after chunk from `at` as long as whole chunks are there and end before `limit`;
// returns where the next one would start. A chunk cut short ends the walk (kept only when
// `keep_partial`: what stands before the end of the image).
uint64_t walk_forward(Chain* c, uint64_t at, uint64_t limit, int keep_partial, int* reached);

// The chunks between the end of the last chunk in the chain (or the media data's start) and a
// located chunk at `next`: forward from the one, back from the other.
void fill_gap(Chain* c, uint64_t next, uint64_t next_file, int* gap);

// The chunks behind the last one found where the interleave's distance does not lead to them (its
// sound lies cut, so the next chunk stands elsewhere in the image): walked from where the kkad box
// behind its sound puts the next one, though a boundary may lie between the box and that place.
// They are kept only when every one walks whole and the last ends its sound's length (`sound`)
// before the media data's end in the camera's file, as the recording's last chunk does.
void walk_from_box(Chain* c, uint64_t sound, uint64_t to_marker);

// The recording's last chunk where a fragment boundary cuts it before its first sample ends: no
// sample walks where it starts, so nothing listed it. It starts behind the kkad box behind the
// sound of the chunk before it, where that box's cluster holds its start, and ends its sound's length
// (`sound`) before the media data's end; listed with no sample, for the join to place. 1 when listed.
int list_unwalked_last(Chain* c, uint64_t sound);

}  // namespace salvage
