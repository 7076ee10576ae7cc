#pragma once
// The first KiB of every kkad box the raw scan passes, kept as the scan's ring holds it. After the
// scan the candidates' check and the fingerprint map each read every box again, a read each;
// read_at serves those reads from here instead. At most kept_boxes_budget bytes are kept; the
// boxes beyond are read from the image as before, and so is every read a kept box does not
// hold whole.
#include <cstdint>
#include <cstdio>

#include "image/scan_index.h"
#include "image/scan_ring.h"

namespace image {

// What is kept of a box: the bytes from its size field on that the fingerprint map's first read
// of a box takes (less where the image ends first).
constexpr uint64_t kept_box_bytes = 1024;
constexpr uint64_t kept_boxes_budget = 8ull << 20;

// From now on, the kkad boxes of `image` the scan passes are kept from the bytes in `ring`.
void kept_boxes_begin(std::FILE* image, uint64_t image_size, const ScanRing* ring);
// Called after every read of the scan, once the ring holds its bytes.
void kept_boxes_advance(const ScanIndex* index);
// The scan has ended: the boxes still waiting are kept when the ring holds them, and the ring is
// no longer looked at.
void kept_boxes_end(const ScanIndex* index);
// The read_at hook: 1 with bytes [offset, offset + n) of `image` copied to `buf` when one kept box
// holds all of them, else 0.
int kept_boxes_serve(std::FILE* image, uint64_t offset, void* buf, uint64_t n);
// Forgets every kept box.
void kept_boxes_release();

}  // namespace image
