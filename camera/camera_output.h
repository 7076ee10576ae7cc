#pragma once
// A file of the card written back whole from its extent under the camera's folders in the
// output folder, under its temporary name first, never over an existing file, with its times.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "filesystem/entry_set.h"
#include "filesystem/extent.h"

namespace camera {

constexpr size_t output_path_capacity = 1400;
// The camera's folders, from the output folder down.
extern const char* const clip_folder[];       // PRIVATE, M4ROOT, CLIP
extern const char* const thumbnail_folder[];  // PRIVATE, M4ROOT, THMBNL

// The final path for `name` in `folder`: the name itself, or with "_2", "_3" ... before its
// extension when a file of that name is there; 0 when none is free.
int free_path(const char* folder, const char* name, char* out, size_t cap);

// Writes the file's bytes under `name` (a safe name), sets its times from the entry and gives its
// final path; 0 when it was given up (the per-clip line printed, no file left behind).
int write_extent_file(std::FILE* image, const filesystem::FsVolume* v, const filesystem::Extent* e,
                      const char* destination, const char* const* folder, const char* name,
                      const filesystem::FileEntry* entry, int clip_number, char* path /* output_path_capacity */);

}  // namespace camera
