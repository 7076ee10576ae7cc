#pragma once
// The search for every "ftypXAVC", "kkad" and "moov" position in one buffer of the image.
#include <cstddef>
#include <cstdint>

#include "image/scan_index.h"

namespace image {

// Records every signature that lies wholly inside buf[0, len); `base` is the image offset of
// buf[0]. The vectorised search and the plain byte-by-byte one give identical lists.
void scan_buffer(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);
void scan_buffer_plain(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);

// Records every 32-byte step of buf[0, len) (steps counted from image offset 0) that starts a
// file entry followed by a stream extension and a name entry, live or deleted, when the three lie
// inside the buffer.
void scan_entry_sets(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);

// Every search this machine can run, the plain one first, so each can be checked against it.
struct SearchVariant {
    const char* name;
    void (*search)(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index);
};
size_t search_variants(SearchVariant* out, size_t cap);

}  // namespace image
