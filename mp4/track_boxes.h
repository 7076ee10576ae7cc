#pragma once
// The boxes of one track's sample table that the parsed tables do not keep: its sample entry and
// the sample duration.
#include <cstdint>

#include "mp4/box.h"

namespace mp4 {

// The box `table` inside the stbl of the first track of the movie box whose handler is `handler`.
int find_track_table(const uint8_t* moov, uint64_t len, const char* handler, const char* table, BoxHeader* out);
// The first sample entry of that track's stsd, a box with a 32-bit size.
int find_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, BoxHeader* out);
// A copy (xmalloc'd) of that sample entry, a whole box.
int copy_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, uint8_t** entry, uint32_t* size);
// The duration of the track's samples when its stts gives them all one duration.
int constant_sample_delta(const uint8_t* moov, uint64_t len, const char* handler, uint32_t* delta);

}  // namespace mp4
