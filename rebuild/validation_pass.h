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
    // Set while salvage tries a plan: a refusal only shapes its next plan, and what comes of the
    // recording is told in salvage's own line, so the refusal lines are not printed.
    int quiet;
};

// Locates the first acceptable decoder configuration record of `type` (avcC or hvcC) in the movie
// box: 1 with its body and length.
int find_config_record(const uint8_t* moov, uint64_t len, const char* type, const uint8_t** body,
                       uint32_t* body_len);

// Before the output exists: format check, configuration record search and open. Prints the failure line and
// returns 0 when the clip must be given up.
int validation_prepare(ValidationPass* pass, const mp4::MovieInfo* movie, int clip_number);
// The same for a video track described by one sample entry box (avc1 with its avcC).
int validation_prepare_entry(ValidationPass* pass, const uint8_t* entry, uint32_t entry_size, int clip_number);
// Pushes the samples of one chunk; *complete is 1 when they fill the chunk exactly. Returns 0
// (after printing the failure line and closing the handle) when a sample is rejected.
int validation_push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk,
                          const uint8_t* bytes, int clip_number, int* complete);
// The same for `sizes->count` samples held in `size` bytes, the first with track index
// `first_index`.
int validation_push_samples(ValidationPass* pass, const mp4::SampleSizes* sizes, uint64_t first_index,
                            const uint8_t* bytes, uint64_t size, int clip_number, int* complete);
// After the video chunks: 1 when the clip passes (PASS lines printed), else 0 after the
// failure line; the handle is closed either way.
int validation_finish(ValidationPass* pass, uint64_t written, uint64_t chunk_count, int show_progress,
                      const ProgressLine& line);
// The end of the video: with `validate` the finish above (its failure returns 0), else the
// "video complete" step; the progress stands at 90 after either.
int end_of_video(ValidationPass* pass, int validate, uint64_t written, uint64_t chunk_count, FileProgress* progress);
void validation_close(ValidationPass* pass);

}  // namespace rebuild
