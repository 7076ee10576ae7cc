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
    // the samples were decoded ahead: `result` and the drain's answer are theirs
    int decided;
    int decided_rc;
    uint64_t pushed;  // the samples handed to the decoder
};

// What the decoder said of the video.
enum VideoVerdict : int {
    video_decoded = 0,
    video_refused_sample,  // the decoder named the damaged sample
    video_refused,         // it refused a sample without naming it
    video_incomplete,      // chunks are missing
    video_corrupt,         // frames decoded with errors, or the decoder failed at its end
};

// Locates the first acceptable decoder configuration record of `type` (avcC or hvcC) in the movie
// box: 1 with its body and length.
int find_config_record(const uint8_t* moov, uint64_t len, const char* type, const uint8_t** body,
                       uint32_t* body_len);

// The memory a decoder may take, which sets its frame threads: beside the scan's ring and window
// buffer while the scan reads (where the ring is not mirrored and windows across its wrap are
// copied into that buffer), and alone after it (every decoder the writer opens).
constexpr uint64_t decoder_room_beside_scan = 36ull << 20;
// Beside a mirrored ring, whose windows are looked at where they lie: two decoders of 1920x1080
// pictures on one frame thread each (the run's peak some 13 MiB under 160 MiB on four 1080p
// recordings; a frame thread more took it to 157).
constexpr uint64_t decoder_room_beside_mirrored_ring = 67ull << 20;
constexpr uint64_t decoder_room_alone = 64ull << 20;
// What one decoded picture of the movie's video costs the decoder; 0 when its configuration record
// does not say the picture's size.
uint64_t decoded_picture_bytes(const mp4::MovieInfo* movie);
// 1 when a decoder of pictures of that cost fits in `room` bytes on one thread.
int decoder_fits(uint64_t picture_bytes, uint64_t room);
// The frame threads such a decoder is granted in `room` bytes: at least one; 0 (the library's
// choice) when the cost is not known.
uint32_t frame_threads_within(uint64_t picture_bytes, uint64_t room);
// The room such a decoder takes on `threads` frame threads.
uint64_t decoder_room_for(uint64_t picture_bytes, uint32_t threads);
// The decoder opened for the movie's video track on `threads` frame threads (0: the library's
// choice); prints nothing, 0 when it cannot be.
int validation_open_threads(ValidationPass* pass, const mp4::MovieInfo* movie, uint32_t threads);
// Before the output exists: format check, configuration record search and open. Prints the failure line and
// returns 0 when the clip must be given up.
int validation_prepare(ValidationPass* pass, const mp4::MovieInfo* movie, int clip_number);
// The same for a video track described by one sample entry box (avc1 with its avcC).
int validation_prepare_entry(ValidationPass* pass, const uint8_t* entry, uint32_t entry_size, int clip_number);
// Pushes `sizes->count` samples held in `size` bytes, the first with track index `first_index`;
// *complete is 1 when they fill the bytes exactly. A refusal closes the handle and is returned
// (the result names the sample); nothing is printed.
VideoVerdict push_samples(ValidationPass* pass, const mp4::SampleSizes* sizes, uint64_t first_index,
                          const uint8_t* bytes, uint64_t size, int* complete);
// 1 when the library named the sample it found damaged.
int names_failing_sample(const ValidationPass* pass);
// The clip's line for a video the decoder refused.
void report_refusal(const ValidationPass* pass, VideoVerdict verdict, int clip_number);

// Pushes the samples of one chunk, printing nothing; *complete is 1 when they fill the chunk
// exactly. A refusal closes the handle and is returned.
VideoVerdict push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk, const uint8_t* bytes,
                        int* complete);
// What push_chunk says in *complete when the decoder refuses none of the samples.
int chunk_filled(const mp4::TrackTables* video, uint64_t chunk);
// Pushes the samples of one chunk; *complete is 1 when they fill the chunk exactly. Returns 0
// (after printing the failure line and closing the handle) when a sample is rejected.
int validation_push_chunk(ValidationPass* pass, const mp4::TrackTables* video, uint64_t chunk,
                          const uint8_t* bytes, int clip_number, int* complete);
// After the video chunks: the decoder drained and the whole video judged; prints nothing. The
// handle is closed either way.
VideoVerdict judge_video(ValidationPass* pass, uint64_t written, uint64_t chunk_count);
// The same with the PASS lines printed when it decoded, the failure line otherwise; 1 when the
// clip passes.
int validation_finish(ValidationPass* pass, uint64_t written, uint64_t chunk_count, int show_progress,
                      const ProgressLine& line);
// The end of the video: with `validate` the judgement above, the held chunks shown as far as the
// decoder took them and the PASS lines printed; else the "video complete" step. The progress
// stands at 90 after either. Prints no failure line.
VideoVerdict end_of_video(ValidationPass* pass, int validate, uint64_t written, uint64_t chunk_count,
                          HeldChunks* held);
void validation_close(ValidationPass* pass);

// 1 when the samples (`sizes` of them, one after another in `bytes`) decode cleanly under the
// decoder configuration of the video sample entry; a trial, so nothing is printed. With
// `one_thread`, the decoder runs on one frame thread: many short trials cost less so.
int samples_decode_cleanly(const uint8_t* entry, uint32_t entry_size, const uint8_t* bytes,
                           const mp4::SampleSizes* sizes, int one_thread = 0);

}  // namespace rebuild
