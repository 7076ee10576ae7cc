#pragma once
// The decode check of a clip's video samples through the validator library.
#include <cstddef>
#include <cstdint>

#include "mp4/movie_box.h"
#include "rebuild/progress_line.h"
#include "validator/loader.h"

namespace rebuild {

struct ValidationPass {
    void* handle;
    validator::ValidatorResult result;
};

// Locates the first acceptable decoder configuration record of `type` (avcC or hvcC) in the movie
// box: 1 with its body and length.
int find_config_record(const uint8_t* moov, uint64_t len, const char* type, const uint8_t** body,
                       uint32_t* body_len);

// Before the output exists: format check, configuration record search and open. Prints the failure line and
// returns 0 when the clip must be given up.
int validation_prepare(ValidationPass* pass, const mp4::MovieInfo* movie, int clip_number);
// Pushes the samples of one chunk; *complete is 1 when they fill the chunk exactly. Returns 0
// (after printing the failure line and closing the handle) when a sample is rejected.
int validation_push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk,
                          const uint8_t* bytes, int clip_number, int* complete);
// After the video chunks: 1 when the clip passes (PASS lines printed), else 0 after the
// failure line; the handle is closed either way.
int validation_finish(ValidationPass* pass, uint64_t written, uint64_t chunk_count, int show_progress,
                      const ProgressLine& line);
void validation_close(ValidationPass* pass);

}  // namespace rebuild
