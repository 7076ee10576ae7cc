// The boot sector's whole geometry and the FAT and bitmap lookups every chain walk uses. The FAT
// is read into memory once when it is small (a 64 GiB card of 128 KiB clusters has a 2 MiB FAT);
// a larger one is read entry by entry.
#include "filesystem/fs_volume.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "image/read_at.h"

namespace filesystem {

namespace {

constexpr uint64_t fat_in_memory_limit = 64ull * 1024 * 1024;
// The largest cluster count exFAT allows.
constexpr uint32_t max_cluster_count = 0xFFFFFFF5u;

}  // namespace

int parse_volume_boot(const uint8_t* s, uint64_t boot_offset, FsVolume* out)
{
    if (std::memcmp(s + 3, "EXFAT   ", 8) != 0)
        return 0;
    uint8_t sector_shift = s[108], cluster_shift = s[109], fats = s[110];
    if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25 || sector_shift + cluster_shift > 25)
        return 0;
    if (fats != 1 && fats != 2)
        return 0;
    uint64_t volume_sectors = basics::load_le64(s + 72);
    uint32_t fat_offset = basics::load_le32(s + 80), fat_length = basics::load_le32(s + 84);
    uint32_t heap = basics::load_le32(s + 88), clusters = basics::load_le32(s + 92);
    uint32_t root = basics::load_le32(s + 96);
    uint16_t flags = basics::load_le16(s + 106);
    if (fat_offset == 0 || fat_length == 0 || heap == 0 || clusters == 0 || clusters > max_cluster_count)
        return 0;
    // the FATs lie before the heap, and every cluster has its FAT entry
    if (uint64_t(fat_offset) + uint64_t(fat_length) * fats > heap)
        return 0;
    uint64_t sector = uint64_t(1) << sector_shift;
    if (uint64_t(fat_length) * sector < (uint64_t(clusters) + 2) * 4)
        return 0;
    uint64_t cluster_sectors = uint64_t(1) << cluster_shift;
    if (volume_sectors != 0 && heap + uint64_t(clusters) * cluster_sectors > volume_sectors)
        return 0;
    FsVolume v = {};
    v.boot_offset = boot_offset;
    v.sector_bytes = sector;
    v.cluster_bytes = sector << cluster_shift;
    v.number_of_fats = fats;
    v.active_fat = fats == 2 ? (flags & 1u) : 0;
    v.fat_offset = boot_offset + (uint64_t(fat_offset) + uint64_t(fat_length) * v.active_fat) * sector;
    v.fat_bytes = uint64_t(fat_length) * sector;
    v.heap_offset = boot_offset + uint64_t(heap) * sector;
    v.cluster_count = clusters;
    v.root_cluster = root;
    if (!cluster_in_range(&v, root))
        return 0;
    *out = v;
    return 1;
}

int open_volume(std::FILE* image, uint64_t image_size, uint64_t boot_offset, FsVolume* out)
{
    uint8_t sector[512];
    if (!image::read_at(image, boot_offset, sector, sizeof sector) || !parse_volume_boot(sector, boot_offset, out))
        return 0;
    out->image = image;
    out->image_size = image_size;
    uint64_t entries = uint64_t(out->cluster_count) + first_cluster_number;
    if (entries * 4 <= fat_in_memory_limit && out->fat_offset + entries * 4 <= image_size) {
        auto* fat = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(entries * 4)));
        if (image::read_at(image, out->fat_offset, fat, entries * 4)) {
            out->fat = static_cast<uint32_t*>(basics::xmalloc(static_cast<size_t>(entries * 4)));
            for (uint64_t i = 0; i < entries; i++)
                out->fat[i] = basics::load_le32(fat + 4 * i);
            out->fat_entries = entries;
        }
        std::free(fat);
    }
    return 1;
}

void close_volume(FsVolume* v)
{
    std::free(v->fat);
    std::free(v->bitmap);
    std::free(v->upcase);
    v->fat = nullptr;
    v->bitmap = nullptr;
    v->upcase = nullptr;
}

uint32_t cluster_at(const FsVolume* v, uint64_t image_offset)
{
    if (image_offset < v->heap_offset)
        return 0;
    uint64_t c = (image_offset - v->heap_offset) / v->cluster_bytes + first_cluster_number;
    return cluster_in_range(v, c) ? static_cast<uint32_t>(c) : 0;
}

int fat_entry(const FsVolume* v, uint32_t c, uint32_t* next)
{
    if (v->fat) {
        if (c >= v->fat_entries)
            return 0;
        *next = v->fat[c];
        return 1;
    }
    uint8_t le[4];
    if (uint64_t(c) * 4 + 4 > v->fat_bytes || !image::read_at(v->image, v->fat_offset + uint64_t(c) * 4, le, 4))
        return 0;
    *next = basics::load_le32(le);
    return 1;
}

int cluster_allocated(const FsVolume* v, uint32_t c)
{
    if (!v->bitmap)
        return -1;
    uint64_t bit = uint64_t(c) - first_cluster_number;
    if (c < first_cluster_number || bit / 8 >= v->bitmap_bytes)
        return 1;  // outside the bitmap: never taken as free
    return (v->bitmap[bit / 8] >> (bit % 8)) & 1;
}

uint16_t default_upcase(uint16_t u)
{
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) || (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) ||
        (u >= 0x430 && u <= 0x44F) || (u >= 0xFF41 && u <= 0xFF5A))
        return static_cast<uint16_t>(u - 0x20);
    if (u == 0xFF)
        return 0x178;
    if (u >= 0x450 && u <= 0x45F)
        return static_cast<uint16_t>(u - 0x50);
    // Latin Extended-A pairs: upper case even below 0x138 and from 0x14A, odd in between
    if ((u >= 0x100 && u <= 0x137 && (u & 1)) || (u >= 0x139 && u <= 0x148 && !(u & 1)) ||
        (u >= 0x14A && u <= 0x177 && (u & 1)) || (u >= 0x179 && u <= 0x17E && !(u & 1)))
        return static_cast<uint16_t>(u - 1);
    return u;
}

uint16_t upcase_unit(const FsVolume* v, uint16_t unit)
{
    return v->upcase ? v->upcase[unit] : default_upcase(unit);
}

}  // namespace filesystem
