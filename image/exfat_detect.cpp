#include "image/exfat_detect.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "platform/platform.h"

namespace image {

namespace {

constexpr uint64_t search_limit = 64ull * 1024 * 1024;
constexpr uint64_t sector_size = 512;
const char fs_name[] = "EXFAT   ";  // the 8-byte file-system name field at sector offset 3
constexpr size_t fs_name_len = 8;

// Boot sector fields read here (little-endian): FAT and cluster heap offsets and the cluster
// count in sectors from the boot sector, then the sector and cluster sizes as powers of two.
constexpr size_t fat_offset_at = 80;
constexpr size_t heap_offset_at = 88;
constexpr size_t cluster_count_at = 92;
constexpr size_t sector_shift_at = 108;
constexpr size_t cluster_shift_at = 109;

[[noreturn]] void no_boot_region(void* buf)
{
    std::free(buf);
    basics::fatal("no valid exFAT boot region found in first 64 MiB");
}

}  // namespace

int parse_boot_sector(const uint8_t* sector, uint64_t boot_offset, ImageGeometry* out)
{
    if (std::memcmp(sector + 3, fs_name, fs_name_len) != 0)
        return 0;
    uint8_t sector_shift = sector[sector_shift_at];
    uint8_t cluster_shift = sector[cluster_shift_at];
    uint32_t fat_offset = basics::load_le32(sector + fat_offset_at);
    uint32_t heap_offset = basics::load_le32(sector + heap_offset_at);
    uint32_t cluster_count = basics::load_le32(sector + cluster_count_at);
    if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25)
        return 0;
    if (cluster_count == 0 || fat_offset == 0 || heap_offset == 0)
        return 0;

    uint64_t bytes_per_sector = uint64_t(1) << sector_shift;
    out->boot_offset = boot_offset;
    // 2^12 x 2^25 needs more than 32 bits, so the product is taken in 64.
    out->cluster_bytes = bytes_per_sector << cluster_shift;
    // boot_offset lies in the first 64 MiB and the product below 2^44: no overflow.
    out->heap_offset = boot_offset + uint64_t(heap_offset) * bytes_per_sector;
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
    basics::out_printf("\n[1/6] Detecting exFAT...\n");
    size_t n = static_cast<size_t>(image_size < search_limit ? image_size : search_limit);
    // The first n bytes pass through a 1 MiB window: fresh pages cost more than the reads, and a
    // window that starts on a sector start keeps every sector whole. The first window is 64 KiB,
    // where a card keeps its boot region: the pages of the rest are not touched then.
    constexpr size_t window = 1024 * 1024, first_window = 65536;
    uint8_t* buf = static_cast<uint8_t*>(basics::xmalloc(n < window ? n : window));
    uint64_t done = 0;
    ImageGeometry geometry;
    while (done < n) {
        size_t step = done == 0 ? first_window : window;
        size_t want = n - done < step ? static_cast<size_t>(n - done) : step;
        // bytes that do not read are zero here and hold no boot sector; a candidate is read
        // again on its own, whole
        size_t got = static_cast<size_t>(card_read(image, done, buf, want, nullptr));
        if (accept_in_window(image, image_size, buf, done, got, &geometry)) {
            std::free(buf);
            basics::out_printf("  boot=0x%llX cluster=%llu bytes heap=0x%llX\n",
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
