#pragma once
// Read-only access to the card image at an absolute offset, through the card reader.
#include <cstdint>
#include <cstdio>

namespace image {

// Exactly n bytes at the absolute image offset, every one of them as the card holds it; 1 on
// success, 0 for a negative offset, a range that leaves the image, or any byte of it that the
// card does not give: a structure that touches an unreadable stretch is missing.
int read_at(std::FILE* image, uint64_t offset, void* buf, uint64_t n);

// The n bytes at the offset as far as the card gives them, for searches over wide stretches:
// unknown bytes are zero, and a caller takes nothing from them without asking
// card_touches_unreadable. 1 when the range lies inside the file; *unknown (when not null)
// counts the bytes that are not the card's.
int read_known(std::FILE* image, uint64_t offset, void* buf, uint64_t n, uint64_t* unknown = nullptr);

}  // namespace image
