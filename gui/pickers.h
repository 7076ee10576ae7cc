#pragma once
// The three pickers: a folder browser for the working and recovery folders and the open-file
// dialog for the image. Each gives 1 and the chosen path, or 0 when nothing usable was chosen.
#include <windows.h>

#include <cstddef>

namespace gui {

constexpr size_t folder_path_capacity = 260;

int pick_folder(HWND owner, const char* title, char* path);  // path holds folder_path_capacity bytes
int pick_image_file(HWND owner, char* path, size_t cap);

}  // namespace gui
