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
