#pragma once
// A name from the card made into one safe component of an output path: one file name inside the
// output folder that a user sees and opens like any other.
#include <cstddef>
#include <cstdint>

namespace camera {

// Writes the UTF-8 form of the name with every character a path cannot hold safely replaced by
// "_": "/", "\\", ":", "*", "?", "\"", "<", ">", "|", control characters and invalid UTF-16.
// Trailing dots and spaces are dropped, as Windows drops them; a name that would start with a dot
// (hidden on Linux and in most file managers), is empty, or is a reserved Windows device name
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension) gets "_" in front; a name left
// without an extension of its own, or whose extension had to change, takes `extension` (".MP4")
// after it, so it still opens as what it is. Returns 1 when the name had to change.
int safe_name(const uint16_t* units, size_t n, const char* extension, char* out, size_t cap);

// The name of a clip's sidecar: the clip's safe name with its extension replaced by `suffix`
// ("M01.XML"), as the camera names it after the clip.
void sidecar_name(const char* clip_safe_name, const char* suffix, char* out, size_t cap);

// ASCII case-insensitive comparison of two UTF-8 names.
int same_name(const char* a, const char* b);

}  // namespace camera
