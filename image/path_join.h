#pragma once
// A folder and a file name joined into one path, and a folder made with every folder above it.
#include <cstddef>

namespace image {

// Folder, one separator unless the folder is empty or already ends in one, then the name;
// cut to cap - 1 characters and always terminated.
void path_join(char* out, size_t cap, const char* folder, const char* name);

// Makes the folder `path` and every folder above it that is missing, as a user who types a new
// path expects. 1 when the whole path stands as a folder; 0 with errno set and `failed` naming the
// part of the path that could not be made (or that stands as a file).
int make_folder_path(const char* path, char* failed, size_t cap);

}  // namespace image
