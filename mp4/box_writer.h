#pragma once
// Boxes written from scratch: into a growing byte list, each opened with a zero size and closed
// when its body is complete, or as one header in front of a body written elsewhere.
#include <cstddef>
#include <cstdint>

#include "basics/growable.h"

namespace mp4 {

using BoxBytes = basics::Growable<uint8_t, 4096>;

void put_u8(BoxBytes* b, uint32_t v);
void put_be16(BoxBytes* b, uint32_t v);
void put_be32(BoxBytes* b, uint32_t v);
void put_be64(BoxBytes* b, uint64_t v);
void put_raw(BoxBytes* b, const void* bytes, size_t n);
void put_zeros(BoxBytes* b, size_t n);

// Starts a box of `type`; returns where it starts, for close_box.
size_t open_box(BoxBytes* b, const char* type);
// The same with the version and flags of a full box.
size_t open_full_box(BoxBytes* b, const char* type, uint8_t version, uint32_t flags);
// Writes the size of the box started at `at`, now that its body is complete.
void close_box(BoxBytes* b, size_t at);

// The header of a box of `size` bytes in all, header included, at `out`: 8 bytes, or 16 with a
// 64-bit size when the size needs it or `wide` asks for it. Returns the header's length.
size_t write_box_header(uint8_t* out, uint64_t size, const char* type, int wide);

}  // namespace mp4
