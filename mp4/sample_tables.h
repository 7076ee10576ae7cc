#pragma once
// One track of a movie box: its handler, sample format, timing and the sample and chunk tables.
#include <cstdint>

#include "mp4/box.h"

namespace mp4 {

constexpr uint64_t max_samples = 100000000;
constexpr uint64_t max_stsc_entries = 1000000;
constexpr uint64_t max_chunks = 10000000;

struct TrackTables {
    char handler[5];
    char format[5];
    uint32_t timescale;
    uint64_t duration;
    uint32_t* sample_sizes;
    uint64_t sample_count;
    uint64_t* chunk_offsets;
    uint32_t* chunk_sample_counts;
    uint64_t* chunk_first_sample;
    uint64_t* chunk_sizes;
    uint64_t chunk_count;
};

// 0 only for an unusable track; then `out` is all zero and owns nothing.
int parse_track(const uint8_t* buf, uint64_t len, const BoxHeader* trak, TrackTables* out);
int read_chunk_offsets(const uint8_t* buf, uint64_t len, const BoxHeader* box, TrackTables* out);

// The sample-entry types of AVC and of HEVC video; `format` is a type text that may end early.
int format_is_avc(const char* format);
int format_is_hevc(const char* format);

void free_track_tables(TrackTables* t);

}  // namespace mp4
