#pragma once
// Where the sound the camera wrote behind each video chunk of a recording without its movie box
// lies: right behind the chunk where the image shows what follows it, else joined across fragment
// boundaries where the structure or the other recordings' pieces leave one way.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "salvage/chunk_descriptions.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// 1 when one of the kkad boxes `markers` (`count` of them, ascending) lies at `offset`.
int kkad_marker_at(const analysis::KkadMarker* markers, uint64_t count, uint64_t offset);

// A chunk's sound is where the interleave puts it only when the image shows what follows the
// sound where it should be: the next chunk, the next chunk's kkad box, or the end of the media
// data. Elsewhere the recording may continue in another part of the card. Sets each chunk's
// sound_follows and, where it is set, where its sound lies.
void place_chunk_sound(const RecordingScope* r, SalvageChunkList* chunks, const RecordingLayout* l,
                       const analysis::KkadMarker* markers, uint64_t count, uint64_t to_marker, uint64_t to_box,
                       const OthersPieces* others);

}  // namespace salvage
