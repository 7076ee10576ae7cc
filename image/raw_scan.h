#pragma once
// Stage [2/6]: one sequential pass over the image that records every "ftypXAVC", "kkad" and
// "moov" position.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/scan_index.h"

namespace image {

// Reads the whole image in reads of chunk_bytes (plus 512 carried bytes) and fills `index`.
// Prints the "\rRaw scan" progress line when show_progress is set.
void raw_scan(std::FILE* image, uint64_t image_size, uint64_t chunk_bytes, int show_progress,
              ScanIndex* index);

// Records every signature that lies wholly inside buf[0, len); `base` is the image offset of
// buf[0]. The vectorised search and the plain byte-by-byte one give identical lists.
void scan_buffer(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);
void scan_buffer_plain(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);

// Every search this machine can run, the plain one first, so each can be checked against it.
struct SearchVariant {
    const char* name;
    void (*search)(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);
};
size_t search_variants(SearchVariant* out, size_t cap);

}  // namespace image
