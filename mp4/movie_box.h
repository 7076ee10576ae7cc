#pragma once
// A movie box found in the image, parsed into the sample tables of its tracks.
#include <cstdint>
#include <cstdio>

#include "mp4/sample_tables.h"

namespace mp4 {

constexpr uint64_t max_movie_box_bytes = 67108864;
constexpr uint64_t mp4_epoch_to_unix = 2082844800;

struct MovieInfo {
    uint64_t moov_offset;
    uint64_t moov_size;
    // a box a run boundary cut: its first moov_head bytes at moov_offset, the rest from moov_tail;
    // moov_head 0: the box lies in one run
    uint64_t moov_head;
    uint64_t moov_tail;
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
// The same from a copy of the whole box already in memory (the box of a file read through its
// extent); the copy passes to `out` on success and is freed otherwise. moov_offset is recorded as given.
int parse_movie_copy(uint8_t* copy, uint64_t size, uint64_t moov_offset, MovieInfo* out);
// The creation time of the movie box whose first `len` bytes are `head`, where its movie header
// lies whole in them: 1, and out's creation fields filled.
int movie_head_creation_time(const uint8_t* head, uint64_t len, MovieInfo* out);
void free_movie_info(MovieInfo* m);

}  // namespace mp4
