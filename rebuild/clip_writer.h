#pragma once
// Stage [6/6]: one recoverable clip written as a new MP4 file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/geometry.h"

namespace rebuild {

// 1 when the file was written and renamed to its final name, 0 when the clip was given up.
int write_clip(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
               const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
               int validate, size_t file_index, size_t file_count);

// Copies `length` image bytes in pieces of at most 8 MiB; returns the bytes copied.
uint64_t copy_image_range(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                          uint64_t length);

// "XAVC_%04d_%s.MP4" with the run's time text or "unknown_time".
void clip_file_name(const analysis::RecoveryClip* clip, char* out, size_t cap);
// Folder, one separator unless empty or already ending in one, then the name; cut to cap - 1.
void clip_output_path(const char* output_dir, const char* name, char* out, size_t cap);

// The progress percentages of the video and audio steps.
int video_percent(uint64_t written, uint64_t chunk_count);
int audio_percent(uint64_t done, uint64_t chunk_count, int* last_chunk);
// Whether a progress line with `percent` is printed after the line that showed `last`: video
// steps by at least 2 except at 0 and 85, audio by at least 2 except at its last chunk.
int video_progress_due(int percent, int last);
int audio_progress_due(int percent, int last_chunk, int last);

}  // namespace rebuild
