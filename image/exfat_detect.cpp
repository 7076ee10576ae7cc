// Stage [1/6]: find the exFAT boot sector near the start of the card and read its geometry.
#include <cstdlib>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/report.h"
#include "image/geometry.h"
#include "platform/platform.h"

namespace image {

namespace {

constexpr uint64_t search_limit = 64ull * 1024 * 1024;
constexpr uint64_t sector_size = 512;
const char fs_name[] = "EXFAT   ";  // the 8-byte file-system name field at sector offset 3
constexpr size_t fs_name_len = 8;

[[noreturn]] void no_boot_region(void* buf)
{
    std::free(buf);
    engine::fatal("no valid exFAT boot region found in first 64 MiB");
}

}  // namespace

int parse_boot_sector(const uint8_t* sector, uint64_t boot_offset, ImageGeometry* out)
{
    if (std::memcmp(sector + 3, fs_name, fs_name_len) != 0)
        return 0;
    uint8_t sector_shift = sector[108];
    uint8_t cluster_shift = sector[109];
    uint32_t fat_offset = engine::load_le32(sector + 80);
    uint32_t heap_offset = engine::load_le32(sector + 88);
    uint32_t cluster_count = engine::load_le32(sector + 92);
    if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25)
        return 0;
    if (cluster_count == 0 || fat_offset == 0 || heap_offset == 0)
        return 0;

    ImageGeometry g;
    g.boot_offset = boot_offset;
    g.partition_offset = engine::load_le64(sector + 64);
    g.volume_length = engine::load_le64(sector + 72);
    g.fat_offset_sectors = fat_offset;
    g.fat_length_sectors = engine::load_le32(sector + 84);
    g.heap_offset_sectors = heap_offset;
    g.cluster_count = cluster_count;
    g.root_cluster = engine::load_le32(sector + 96);
    g.bytes_per_sector_shift = sector_shift;
    g.sectors_per_cluster_shift = cluster_shift;
    g.number_of_fats = sector[110];
    g.bytes_per_sector = uint32_t(1) << sector_shift;
    g.sectors_per_cluster = uint32_t(1) << cluster_shift;
    // 2^12 x 2^25 needs more than 32 bits, so the product is taken in 64.
    g.cluster_bytes = uint64_t(g.bytes_per_sector) * g.sectors_per_cluster;
    // boot_offset lies in the first 64 MiB and each product below 2^44: no overflow.
    g.fat_offset = boot_offset + uint64_t(fat_offset) * g.bytes_per_sector;
    g.heap_offset = boot_offset + uint64_t(heap_offset) * g.bytes_per_sector;
    *out = g;
    return 1;
}

// Sector starts are the only candidates; the sector is read again on its own, because the
// acceptance tests look past the name field.
static int accept_in_window(std::FILE* image, uint64_t image_size, const uint8_t* window, uint64_t start,
                     uint64_t got, ImageGeometry* out)
{
    uint8_t sector[sector_size];
    for (uint64_t off = 0; off + 3 + fs_name_len <= got; off += sector_size) {
        uint64_t i = start + off;
        if (std::memcmp(window + off + 3, fs_name, fs_name_len) != 0 || image_size < i + sector_size)
            continue;
        if (read_at(image, i, sector, sector_size) && parse_boot_sector(sector, i, out))
            return 1;
    }
    return 0;
}

ImageGeometry detect_exfat(std::FILE* image, uint64_t image_size)
{
    engine::out_printf("\n[1/6] Detecting exFAT...\n");
    size_t n = static_cast<size_t>(image_size < search_limit ? image_size : search_limit);
    uint8_t* buf = static_cast<uint8_t*>(engine::xmalloc(n));
    // The first n bytes pass through a 1 MiB window at the front of the buffer: fresh pages cost
    // more than the reads, and a window that starts on a sector start keeps every sector whole.
    constexpr size_t window = 1024 * 1024;
    uint64_t done = 0;
    ImageGeometry geometry;
    while (done < n) {
        size_t want = n - done < window ? static_cast<size_t>(n - done) : window;
        if (!platform::seek_abs(image, done))
            break;
        size_t got = std::fread(buf, 1, want, image);
        if (accept_in_window(image, image_size, buf, done, got, &geometry)) {
            std::free(buf);
            engine::out_printf("  boot=0x%llX cluster=%llu bytes heap=0x%llX\n",
                               static_cast<unsigned long long>(geometry.boot_offset),
                               static_cast<unsigned long long>(geometry.cluster_bytes),
                               static_cast<unsigned long long>(geometry.heap_offset));
            return geometry;
        }
        done += got;
        if (got < want)
            break;
    }
    no_boot_region(buf);
}

}  // namespace image
