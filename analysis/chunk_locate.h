#pragma once
// Finding a video chunk in the image and checking the NAL structure of its samples.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

namespace analysis {

// The two process-wide read buffers: direct reads of a chunk and window reads. They only grow
// during a run and are released by the driver at its end.
struct ReadBuffer {
    uint8_t* data;
    uint64_t capacity;
};
extern ReadBuffer direct_read_buffer;
extern ReadBuffer window_read_buffer;

// Grows by doubling from the current capacity (or 1 MiB) until `need` fits.
void grow_read_buffer(ReadBuffer* buffer, uint64_t need);
void release_read_buffers();

int verify_chunk_at(std::FILE* image, uint64_t image_size, uint64_t offset, const mp4::SampleSizes* sizes,
                    const char* format);
int find_chunk_in_window(std::FILE* image, uint64_t image_size, uint64_t centre, uint64_t back,
                         uint64_t forward, const mp4::SampleSizes* sizes, const char* format, uint64_t* out);
// The sample sizes of video chunk j; 0 when the chunk or its samples lie outside the track's
// tables.
int chunk_samples(const mp4::TrackTables* video, uint64_t j, mp4::SampleSizes* sizes);
// The window searched around the kkad box of a mapped chunk: a box that described several chunks
// may sit far from any one of them.
void search_window_for(int32_t hit_count, uint64_t* back, uint64_t* forward);
int locate_chunk(std::FILE* image, uint64_t image_size, const mp4::MovieInfo* movie,
                 const ChunkPlacement* chunks, uint64_t chunk_index, uint64_t* out);

}  // namespace analysis
