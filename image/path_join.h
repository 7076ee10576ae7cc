#pragma once
// A folder and a file name joined into one path.
#include <cstddef>

namespace image {

// Folder, one separator unless the folder is empty or already ends in one, then the name;
// cut to cap - 1 characters and always terminated.
void path_join(char* out, size_t cap, const char* folder, const char* name);

}  // namespace image
