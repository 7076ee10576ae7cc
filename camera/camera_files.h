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
    size_t named, named_live, named_deleted;  // recordings an entry set matched
    size_t files_written, sidecars_written;
};

// Reads the card's file system, prints one block (nothing when no entry set names a recording)
// and writes the trusted camera files; returns the camera files written.
size_t run_camera_files(CameraPass* pass);

// The summary's lines for the pass; nothing when no entry set named a recording.
void print_camera_summary(const CameraPass* pass);

}  // namespace camera
