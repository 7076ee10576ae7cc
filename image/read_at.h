#pragma once
// Read-only access to the card image at an absolute offset.
#include <cstdint>
#include <cstdio>

namespace image {

// Exactly n bytes at the absolute image offset; 1 on success, 0 for a negative offset, a failed
// seek or a short read.
int read_at(std::FILE* image, uint64_t offset, void* buf, uint64_t n);

}  // namespace image
