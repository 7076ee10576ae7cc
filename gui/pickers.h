#pragma once
// The three pickers: a folder browser for the working and recovery folders and the open-file
// dialog for the image. Each gives 1 and the chosen path, or 0 when nothing usable was chosen.
// They ask the system in wide text, so that any folder name and a path longer than 260 characters
// come back whole, and give the path as the window's narrow text.
#include <windows.h>

#include <cstddef>

namespace gui {

int pick_folder(HWND owner, const char* title, char* path, size_t cap);
int pick_image_file(HWND owner, char* path, size_t cap);

}  // namespace gui
