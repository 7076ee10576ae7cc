#pragma once
// A name from the card made into one safe component of an output path.
#include <cstddef>
#include <cstdint>

namespace camera {

// Writes the UTF-8 form of the name with every character a path cannot hold safely replaced by
// "_": "/", "\\", ":", "*", "?", "\"", "<", ">", "|", control characters and invalid UTF-16; a
// trailing dot or space becomes "_"; a name that is only dots, empty, or a reserved Windows device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension) gets "_" in front. Returns
// 1 when the name had to change.
int safe_name(const uint16_t* units, size_t n, char* out, size_t cap);

// ASCII case-insensitive comparison of two UTF-8 names.
int same_name(const char* a, const char* b);

}  // namespace camera
