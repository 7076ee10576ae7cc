#pragma once
// Whether a file's extent, as the file system gives it, holds what the content says: the
// extent is used for bytes only when every check holds.
#include <cstddef>
#include <cstdint>

#include "analysis/analysis_types.h"
#include "filesystem/extent.h"
#include "filesystem/fs_volume.h"

namespace camera {

// The recording at `header`: its clip header at the extent's start, the top-level boxes tiling the
// file with the movie box ending where the file's size puts it, that movie box whole (every track
// parsed with its tables, the camera's formats, every chunk inside the media data), every video chunk of that movie
// box with its samples' structure where the extent puts it, every kkad box inside the extent
// between chunks of the media data, and every chunk the documented analysis placed (clip, may be
// null) where the extent puts it; with `validate`, every video sample decodes cleanly through the
// validator (its PASS or failure line printed for clip_number). Returns null when all hold, else why not.
const char* check_recording_extent(const filesystem::FsVolume* v, const filesystem::Extent* e,
                                   const analysis::ClipHeader* header, const analysis::MarkerList* markers,
                                   const analysis::RecoveryClip* clip, int validate, int clip_number);

enum SidecarKind { sidecar_xml = 0, sidecar_jpeg = 1 };
// A sidecar file: well-formed XML text (a declaration or element at the start, a closing ">" at
// the end, no zero byte) or a whole JPEG (SOI at the start, EOI at the end). Null when it holds.
const char* check_sidecar_extent(const filesystem::FsVolume* v, const filesystem::Extent* e, int kind);

// Elements nest and close in order under one root, with only white space outside it; the XML
// declaration, comments and processing instructions pass.
int xml_well_formed(const uint8_t* p, size_t n);

}  // namespace camera
