#pragma once
// Stage [1/6]: the exFAT boot sector near the start of the card and the geometry it gives.
#include <cstdint>
#include <cstdio>

namespace image {

struct ImageGeometry {
    uint64_t boot_offset;    // image offset of the accepted boot sector
    uint64_t cluster_bytes;  // the card's allocation unit
    uint64_t heap_offset;    // image offset of the cluster heap
};

// Prints the heading and the geometry line; ends the run through fatal when no boot sector is
// accepted within the first 64 MiB.
ImageGeometry detect_exfat(std::FILE* image, uint64_t image_size);

// The acceptance tests of one 512-byte boot sector; 1 and `out` filled when it is accepted.
int parse_boot_sector(const uint8_t* sector, uint64_t boot_offset, ImageGeometry* out);

}  // namespace image
