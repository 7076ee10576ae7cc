#pragma once
// Stage [6/6]: one recoverable clip written as a new MP4 file.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "basics/sha256.h"
#include "image/exfat_detect.h"
#include "rebuild/clip_write_state.h"

namespace rebuild {

// What one write_clip call did, for the report: the file, or why there is none, and where in
// the image every chunk it wrote came from.
struct ClipOutcome {
    char final_path[1400];      // "" when no file was written
    char failure[256];          // the failure line's message, "" when written
    uint64_t video_chunks, video_written;
    uint64_t audio_chunks, audio_written;
    uint8_t* located;           // one flag per video chunk, owned
    uint64_t* located_at;       // image position per located video chunk, owned
    uint64_t* sound_at;         // image position per recovered audio chunk, all ones when silent, owned
    SoundSpanList sound_spans;  // every place the recovered audio chunks were copied from, owned
    // with head_hashed, the file's hash fed its first head_hash.length bytes, taken while the
    // scan passed them: the report reads only the rest
    basics::Sha256 head_hash;
    int head_hashed;
};
void free_clip_outcome(ClipOutcome* outcome);

// 1 when the file was written and renamed to its final name, 0 when the clip was given up.
int write_clip(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
               const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
               int validate, size_t file_index, size_t file_count);
// The same, with what happened kept in `outcome` (which the caller frees).
int write_clip_noting(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                      const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
                      int validate, size_t file_index, size_t file_count, ClipOutcome* outcome);

}  // namespace rebuild
