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

// The distance in the camera's file from one chunk's end `from` to the next chunk `to` that the
// kkad descriptions give, when it is the interleave's `between` or differs from it by a few
// sound samples only (a recording whose sound varies from chunk to chunk): the two follow each
// other. 0 otherwise.
uint64_t next_chunk_distance(uint64_t from, uint64_t to, uint64_t between);

// The bytes of sound the clock `k` puts behind the chunk of index `index` of a recording.
uint64_t clock_chunk_sound(const SoundClock* k, uint64_t index);

// The camera's clock as the first movie box proves it whose twelve-frame video chunks each have
// the sound behind them that the clock of its video and sound timescales puts there (a constant
// sample duration in both tracks, a sound frame of one of the camera's formats). All zero when
// none does.
SoundClock clock_from_movies(const analysis::MovieList* movies);

// Each chunk's sound_bytes: the room its described file offset leaves before the next described
// chunk's metadata (`lead` bytes) or the media data's end, where that is near the interleave's
// usual `sound`; elsewhere `sound`, unless the recording's sound varies from chunk to chunk (a
// frame rate of 30000/1001: 19,219 or 19,220 samples behind twelve frames), as a room shows or a
// usual sound that gives no frame a whole number of samples: then the chunk's sound_unproven,
// unless the recording's clock (r->clock) sizes it: a chunk whose place in the recording is known
// (no chunk missing in front of it, the first the recording's first), where every size the rooms
// show is the clock's too.
void chunk_sound_sizes(const RecordingScope* r, SalvageChunkList* chunks, uint64_t lead, uint64_t sound);

// A chunk's sound is where the interleave puts it only when the image shows what follows the
// sound where it should be: the next chunk, the next chunk's kkad box, or the end of the media
// data. Elsewhere the recording may continue in another part of the card. Sets each chunk's
// sound_follows and, where it is set, where its sound lies.
void place_chunk_sound(const RecordingScope* r, SalvageChunkList* chunks, const RecordingLayout* l,
                       const analysis::KkadMarker* markers, uint64_t count, uint64_t to_marker, uint64_t to_box,
                       const OthersPieces* others);

// Where the sound behind the chunk in front of the last ends, placed as place_chunk_sound would
// place it while the last chunk's end is not known yet (nothing is noted for the others): the
// sound the last chunk's own runs on from. 0 when it is not placed, or its last run holds fewer
// bytes than a joint is judged by.
uint64_t sound_end_before_last(const RecordingScope* r, const SalvageChunkList* chunks, const RecordingLayout* l,
                               const analysis::KkadMarker* markers, uint64_t count, uint64_t to_marker, uint64_t to_box,
                               const OthersPieces* others);

}  // namespace salvage
