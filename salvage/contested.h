#pragma once
// Bytes two recordings claim at once. A piece located by its content is where its bytes are; sound
// has no content to show, and is placed where the runs around it leave room for it. Each pass of
// the planners knows only the pieces the pass before placed, so two recordings may place their
// sound over each other's: then one of the two is wrong, and nothing tells which. Those bytes are
// nobody's sound from then on, until one of the two places that sound elsewhere by its own pieces:
// its guess there was wrong, and the other's stands.
#include <cstdint>

#include "salvage/chunk_place.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Adds to `contested` the bytes where pieces of two recordings in `claims` (its spans sorted)
// lie over each other, those not in it yet, once for each of the two (its clip and sound_of);
// how many were added.
uint64_t note_contested(const ClaimList* claims, basics::Growable<ClaimedSpan, 16>* contested);

// Drops from `contested` the bytes one of whose two recordings now places that sound chunk by its
// own pieces (a span of `claims` of its clip and sound_of, not by room); how many were dropped.
uint64_t lift_contested(const ClaimList* claims, basics::Growable<ClaimedSpan, 16>* contested);

// The first byte of [begin, end) that is contested; `end` when none is.
uint64_t first_contested(const ClaimList* claims, uint64_t begin, uint64_t end);

// 1 when any of the `size` bytes of a chunk placed at `at` is contested.
int place_contested(const ClaimList* claims, const ChunkPlace* at, uint64_t size);

}  // namespace salvage
