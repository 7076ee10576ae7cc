#pragma once
// The file-system pass: recordings found by their content, matched to the entry sets whose
// first cluster holds their clip header, and written back as the camera's own files when the
// content confirms the extent.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/scan_index.h"

namespace camera {

// What the file system said of one recording, and what the pass made of it; valid only during
// the call that tells it.
struct CameraNote {
    uint32_t clip_number;
    const char* original_path;  // folder and name on the card, UTF-8
    const char* state;          // "live", "deleted" or "left by a format"
    const char* created;        // as the clip line shows them, with their UTC offset
    const char* modified;
    const char* written_path;   // the camera's file written, or null
    const char* refused;        // why its extent gives no bytes, or null
    const char* const* sidecar_paths;  // the sidecars written beside it
    size_t sidecar_count;
    const uint64_t* extent_at;  // image offset and length of each run of its extent, in file order
    const uint64_t* extent_length;
    size_t extent_runs;  // 0 when the content did not confirm it
};
using CameraNoteFn = void (*)(void* context, const CameraNote* note);

struct CameraPass {
    std::FILE* image;
    uint64_t image_size;
    uint64_t boot_offset;
    const image::ScanIndex* scan;
    const analysis::ClipHeaderList* headers;
    const analysis::MarkerList* markers;
    const analysis::ClipList* clips;
    const char* destination;
    int32_t only_clip;  // 0: every recording
    int validate;       // the decode check runs on every trusted recording's video
    // one flag per clip header (clip number - 1): its recording was written as the camera's file
    uint8_t* taken;
    // one flag per clip header: its sidecars were written although its own extent was refused
    uint8_t* sidecars_only;
    size_t named, named_live, named_deleted;  // recordings an entry set matched
    size_t files_written, sidecars_written;
    CameraNoteFn note;  // told about every recording an entry set names, when set
    void* note_context;
};

// Reads the card's file system, prints one block (nothing when no entry set names a recording)
// and writes the trusted camera files; returns the camera files written.
size_t run_camera_files(CameraPass* pass);

// The summary's lines for the pass; nothing when no entry set named a recording.
void print_camera_summary(const CameraPass* pass);

}  // namespace camera
