#pragma once
// The per-clip progress line, its percentages, and the per-clip failure line.
#include <cstddef>
#include <cstdint>

#include "basics/output.h"

namespace rebuild {

// Which file of the run is being written, and for which clip.
struct ProgressLine {
    size_t file;
    size_t total;
    int clip;
};

// The progress lines of one file: shown unless the file count is 0, with the last percent shown.
struct FileProgress {
    ProgressLine line;
    int show;
    int last_percent;
};

FileProgress begin_file_progress(size_t file_index, size_t file_count, int clip);
// A fixed step ("preparing", "finalizing MP4", ...) at `percent`, remembered as the last shown.
void progress_step(FileProgress* progress, int percent, const char* activity);
// After each video chunk written and each audio chunk handled, when its percent is due.
void progress_video_chunk(FileProgress* progress, uint64_t written, uint64_t chunk_count);
void progress_audio_chunk(FileProgress* progress, uint64_t done, uint64_t chunk_count);

// A decoder on frame threads hands a sample's result back some pushes after the sample: at most
// 15 later on its 16 threads, and a picture waits at most 16 more in the reorder buffer before its
// frame tells that it was damaged. So a chunk the decode check took is shown as written only once
// the pushes are that far past it, at the end of the video, or at a refusal, which shows the
// chunks wholly in front of the refused sample and no other: the lines come out the same on one
// thread and on many, however the threads were scheduled.
constexpr uint64_t results_settled_after = 32;
constexpr size_t held_chunks_max = 64;

struct HeldChunks {
    FileProgress* progress;
    uint64_t total;    // the chunks the lines count to
    uint64_t counted;  // the chunks whose samples all went in, shown or held
    uint64_t shown;
    struct Held {
        uint64_t end_sample;  // one past the chunk's last sample
        uint64_t pushes;      // the samples pushed up to its last
    } held[held_chunks_max];  // a ring, oldest at `first`
    size_t first, count;
};

HeldChunks hold_chunks(FileProgress* progress, uint64_t total);
// A chunk whose samples all went in, ending at `end_sample`, after `pushes` samples pushed in all.
void hold_chunk(HeldChunks* held, uint64_t end_sample, uint64_t pushes);
// `pushes` samples are pushed: the chunks whose results are in by now are shown.
void show_settled(HeldChunks* held, uint64_t pushes);
// The decoder refused `sample`: the held chunks that end at or before it are shown, the others
// no longer count.
void show_before(HeldChunks* held, uint64_t sample);
void show_all(HeldChunks* held);
// A chunk written without a decode check, or whose result is known already: shown at once.
void show_chunk(HeldChunks* held);

// "Writing file <file> of <total> | clip <clip> | <activity> | <percent>%" on standard output.
void progress_print(const ProgressLine& line, int percent, const char* activity_fmt, ...) MENDORA_PRINTF(3, 4);

// A per-clip failure line on standard error: "clip %d: " + message + line break. The message is
// kept as the clip's last failure, for the report.
void clip_error(int clip, const char* fmt, ...) MENDORA_PRINTF(2, 3);
// The message of the last failure line since the last clear ("" when none).
const char* last_clip_error();
void clear_last_clip_error();

// The progress percentages of the video and audio steps.
int video_percent(uint64_t written, uint64_t chunk_count);
int audio_percent(uint64_t done, uint64_t chunk_count, int* last_chunk);
// Whether a progress line with `percent` is printed after the line that showed `last`: video
// steps by at least 2 except at 0 and 85, audio by at least 2 except at its last chunk.
int video_progress_due(int percent, int last);
int audio_progress_due(int percent, int last_chunk, int last);

}  // namespace rebuild
