#pragma once
// Stage [2/6]: one sequential pass over the image that records every "ftypXAVC", "kkad" and
// "moov" position.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "basics/sha256.h"
#include "image/scan_index.h"
#include "image/scan_ring.h"

namespace image {

// The most the scan reads at once: with a ring, the bytes it reads over next lie within this many
// of the ring's oldest.
constexpr size_t raw_scan_slice_bytes = 256 * 1024;

// Told of the image bytes as the scan reads them, in order, each time after the hits that lie
// wholly inside them were recorded in the index.
struct ScanObserver {
    void (*bytes_read)(void* context, const ScanIndex* index, const uint8_t* bytes, size_t n);
    void* context;
    // when set (a ring of at least scan_ring_guard bytes), the scan reads straight into it and
    // bytes_read is told of the bytes once the ring holds them
    ScanRing* ring;
};

// Reads the whole image in reads of chunk_bytes (plus 512 carried bytes) and fills `index`.
// Prints the "\rRaw scan" progress line when show_progress is set. With `hash`, every byte read
// is fed to it as well, so the image is hashed without a second read; the result is 1 when the
// whole image was read.
int raw_scan(std::FILE* image, uint64_t image_size, uint64_t chunk_bytes, int show_progress,
             ScanIndex* index, const ScanObserver* observer = nullptr, basics::Sha256* hash = nullptr);

}  // namespace image
