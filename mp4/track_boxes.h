#pragma once
// The boxes of one track's sample table that the parsed tables do not keep: its sample entry and
// the sample duration.
#include <cstdint>

#include "mp4/box.h"

namespace mp4 {

// Every sample entry starts with its box header, six reserved bytes and the data reference index.
constexpr uint32_t sample_entry_data_reference_at = 14;
// A visual sample entry (avc1, hvc1, ...) goes on with sixteen bytes pre-defined and reserved,
// then the picture's fields; its child boxes (avcC, hvcC) follow 78 bytes of fields.
constexpr uint32_t visual_entry_width_at = 32;
constexpr uint32_t visual_entry_height_at = 34;
constexpr uint32_t visual_entry_resolution_at = 36;  // horizontal, then vertical, in 16.16 dots per inch
constexpr uint32_t visual_entry_frame_count_at = 48;
constexpr uint32_t visual_entry_depth_at = 82;
constexpr uint32_t visual_entry_children_at = 86;
// A sound sample entry goes on with eight reserved bytes, the channel count, the sample size in
// bits, and the rate in 16.16.
constexpr uint32_t sound_entry_channels_at = 24;
constexpr uint32_t sound_entry_bits_at = 26;
constexpr uint32_t sound_entry_rate_at = 32;
constexpr uint32_t sound_entry_size = 36;

// The box `table` inside the stbl of the first track of the movie box whose handler is `handler`.
int find_track_table(const uint8_t* moov, uint64_t len, const char* handler, const char* table, BoxHeader* out);
// The first sample entry of that track's stsd, a box with a 32-bit size.
int find_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, BoxHeader* out);
// A copy (xmalloc'd) of that sample entry, a whole box.
int copy_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, uint8_t** entry, uint32_t* size);
// A track's composition offsets (ctts) as the box stores them: runs of samples that share one
// offset, read in place from the movie box.
struct CompositionOffsets {
    const uint8_t* runs;  // `entries` pairs of sample count and offset
    uint32_t entries;
    uint32_t version;     // 1: the offsets are signed
    uint32_t run;         // the run of the last lookup, so that lookups in sample order go forward
    uint64_t run_first;
};
int find_composition_offsets(const uint8_t* moov, uint64_t len, const char* handler, CompositionOffsets* out);
// The composition offset of sample `index` (from 0); 0 for a sample past the table.
int64_t composition_offset_at(CompositionOffsets* offsets, uint64_t index);
// The media time where the track's first edit begins (its edit list's first entry).
int first_edit_media_time(const uint8_t* moov, uint64_t len, const char* handler, int64_t* media_time);

// The duration of the track's samples when its stts gives them all one duration.
int constant_sample_delta(const uint8_t* moov, uint64_t len, const char* handler, uint32_t* delta);

}  // namespace mp4
