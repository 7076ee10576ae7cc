#pragma once
// The card's file system as its boot sector lays it out: the active FAT, the cluster heap, the
// root directory, and the allocation bitmap and up-case table once the root has named them.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace filesystem {

// The FAT's marks for the end of a chain and for a bad cluster.
constexpr uint32_t fat_end = 0xFFFFFFFFu;
constexpr uint32_t fat_bad = 0xFFFFFFF7u;
// Clusters are numbered from 2.
constexpr uint32_t first_cluster_number = 2;

struct FsVolume {
    std::FILE* image;
    uint64_t image_size;
    uint64_t boot_offset;
    uint64_t sector_bytes;
    uint64_t cluster_bytes;
    uint64_t fat_offset;    // image offset of the active FAT
    uint64_t fat_bytes;     // its length
    uint32_t number_of_fats;
    uint32_t active_fat;    // 0 or 1
    uint64_t heap_offset;
    uint32_t cluster_count;
    uint32_t root_cluster;
    uint32_t* fat;          // the active FAT in memory, entries from cluster 0, or null (read entry by entry)
    uint64_t fat_entries;
    uint8_t* bitmap;        // one bit per cluster from cluster 2, lowest bit first; null when not found
    uint64_t bitmap_bytes;
    uint16_t* upcase;       // 65536 entries, or null: the default mapping
};

// Whole-geometry reading of one 512-byte boot sector; 1 and `out` filled when every field is sane
// (the FAT and the heap inside the volume, one or two FATs, an existing root cluster).
int parse_volume_boot(const uint8_t* sector, uint64_t boot_offset, FsVolume* out);

// The volume whose boot sector lies at boot_offset; reads the FAT into memory when it is small
// enough. 0 when the boot sector is not sound.
int open_volume(std::FILE* image, uint64_t image_size, uint64_t boot_offset, FsVolume* out);
void close_volume(FsVolume* v);

inline int cluster_in_range(const FsVolume* v, uint64_t c)
{
    return c >= first_cluster_number && c < uint64_t(v->cluster_count) + first_cluster_number;
}
inline uint64_t cluster_offset(const FsVolume* v, uint64_t c)
{
    return v->heap_offset + (c - first_cluster_number) * v->cluster_bytes;
}
// The cluster an image offset lies in; 0 when it is outside the heap.
uint32_t cluster_at(const FsVolume* v, uint64_t image_offset);

// The FAT entry of cluster c; 1 when it could be read.
int fat_entry(const FsVolume* v, uint32_t c, uint32_t* next);
// -1 when no bitmap is known, else 1 allocated, 0 free.
int cluster_allocated(const FsVolume* v, uint32_t c);

// The up-case mapping of one code unit: the card's table, or the default mapping of ASCII letters
// and the Latin-1, Greek, Cyrillic and other simple case pairs when the card has none.
uint16_t upcase_unit(const FsVolume* v, uint16_t unit);
uint16_t default_upcase(uint16_t unit);

}  // namespace filesystem
