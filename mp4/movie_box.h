#pragma once
// A movie box found in the image, parsed into the sample tables of its tracks.
#include <cstdint>
#include <cstdio>

#include "mp4/box.h"

namespace mp4 {

constexpr uint64_t max_movie_box_bytes = 67108864;
constexpr uint64_t max_samples = 100000000;
constexpr uint64_t max_stsc_entries = 1000000;
constexpr uint64_t max_chunks = 10000000;
constexpr uint64_t mp4_epoch_to_unix = 2082844800;

struct TrackTables {
    char handler[5];
    char format[5];
    uint32_t timescale;
    uint64_t duration;
    uint64_t stts_sample_total;
    uint64_t stts_duration_total;
    uint32_t* sample_sizes;
    uint64_t sample_count;
    uint64_t* chunk_offsets;
    uint32_t* chunk_sample_counts;
    uint64_t* chunk_first_sample;
    uint64_t* chunk_sizes;
    uint64_t chunk_count;
};

struct MovieInfo {
    uint64_t moov_offset;
    uint64_t moov_size;
    uint8_t* moov_bytes;
    uint32_t has_creation_time;
    uint64_t creation_unix;
    uint64_t creation_time;
    TrackTables video;
    TrackTables audio;
    TrackTables other;
    uint32_t has_video;
    uint32_t has_audio;
    uint32_t has_other;
};

// Validates the movie box whose type characters are at `moov_hit`; 1 and `out` filled (owning
// its copy and tables) when it holds a video track.
int parse_movie(std::FILE* image, uint64_t image_size, uint64_t moov_hit, MovieInfo* out);
// 0 only for an unusable track; then `out` is all zero and owns nothing.
int parse_track(const uint8_t* buf, uint64_t len, const BoxHeader* trak, TrackTables* out);
int read_chunk_offsets(const uint8_t* buf, uint64_t len, const BoxHeader* box, TrackTables* out);

void free_track_tables(TrackTables* t);
void free_movie_info(MovieInfo* m);

}  // namespace mp4
