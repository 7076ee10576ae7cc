#pragma once
// A packed RGB picture as a PNG file, made without a compressor: its zlib stream holds stored
// blocks only. Thumbnails are small, so the size that costs is a few tens of kilobytes.
#include <cstddef>
#include <cstdint>

namespace report {

// PNG bytes of a `width` x `height` picture of 3 bytes a pixel, rows top down; null (and
// *size 0) for an empty picture. The caller frees the result.
uint8_t* encode_png(const uint8_t* rgb, uint32_t width, uint32_t height, size_t* size);

uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc = 0);
uint32_t adler32(const uint8_t* bytes, size_t n);

}  // namespace report
