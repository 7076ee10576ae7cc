#pragma once
// Read-only access to the card image and stage [1/6]: the exFAT boot sector and the geometry.
#include <cstdint>
#include <cstdio>

namespace image {

struct ImageGeometry {
    uint64_t boot_offset;
    uint64_t partition_offset;
    uint64_t volume_length;
    uint32_t fat_offset_sectors;
    uint32_t fat_length_sectors;
    uint32_t heap_offset_sectors;
    uint32_t cluster_count;
    uint32_t root_cluster;
    uint8_t bytes_per_sector_shift;
    uint8_t sectors_per_cluster_shift;
    uint8_t number_of_fats;
    uint32_t bytes_per_sector;
    uint32_t sectors_per_cluster;
    uint64_t cluster_bytes;
    uint64_t fat_offset;
    uint64_t heap_offset;
};

// Exactly n bytes at the absolute image offset; 1 on success, 0 for a negative offset, a failed
// seek or a short read.
int read_at(std::FILE* image, uint64_t offset, void* buf, uint64_t n);

// Stage [1/6]: prints the heading and the geometry line; ends the run through fatal when no
// boot sector is accepted within the first 64 MiB.
ImageGeometry detect_exfat(std::FILE* image, uint64_t image_size);

// The acceptance tests of one 512-byte boot sector; 1 and `out` filled when it is accepted.
int parse_boot_sector(const uint8_t* sector, uint64_t boot_offset, ImageGeometry* out);

}  // namespace image
