#pragma once
// One track of a movie box: its handler, sample format, timing and the sample and chunk tables.
#include <cstdint>

#include "mp4/box.h"
#include "mp4/sound_entry.h"

namespace mp4 {

// A damaged box must not make us allocate without bound. The sample limit applies to a size
// table stored per sample only: a fixed sample size costs nothing per sample, and an hour of the
// camera's sound is 172.8 million samples.
constexpr uint64_t max_samples = 100000000;
constexpr uint64_t max_stsc_entries = 1000000;
constexpr uint64_t max_chunks = 10000000;

struct TrackTables {
    char handler[5];
    char format[5];
    uint32_t timescale;
    uint64_t duration;
    uint32_t fixed_sample_size;  // non-zero: every sample has this size and sample_sizes is null
    uint32_t* sample_sizes;      // one size per sample, only when stsz stores them
    uint64_t sample_count;
    uint64_t* chunk_offsets;
    uint32_t* chunk_sample_counts;
    uint64_t* chunk_first_sample;
    uint64_t* chunk_sizes;
    uint64_t chunk_count;
    SoundEntry sound;  // the first sample entry read as a sound description (a sound track's only)
};

// The sizes of consecutive samples of a track, as held: a slice of its stored table, or one
// size for all of them.
struct SampleSizes {
    const uint32_t* stored;  // null when every sample has `fixed` bytes
    uint32_t fixed;
    uint64_t count;
};

inline uint32_t sample_size_at(const SampleSizes* s, uint64_t i) { return s->stored ? s->stored[i] : s->fixed; }

// 0 only for an unusable track; then `out` is all zero and owns nothing.
int parse_track(const uint8_t* buf, uint64_t len, const BoxHeader* trak, TrackTables* out);
int read_chunk_offsets(const uint8_t* buf, uint64_t len, const BoxHeader* box, TrackTables* out);

// Type of the first sample entry of a trak box inside buf: four characters and a NUL into
// `format`; 0 when the track lists no sample entry.
int read_track_format(const uint8_t* buf, uint64_t len, const BoxHeader* trak, char* format /* 5 */);

// The sample-entry types of AVC and of HEVC video; `format` is a type text that may end early.
int format_is_avc(const char* format);
int format_is_hevc(const char* format);
// The sample-entry types of the sound a camera records: LPCM in either byte order, or AAC.
int format_is_camera_sound(const char* format /* 4 bytes */);

void free_track_tables(TrackTables* t);

}  // namespace mp4
