// The exFAT facts the generator writes a camera's file tree with: the volume's layout read back
// from its boot sector and root directory after mkfs.exfat, and the 32-byte entries of a file's
// entry set (file, stream extension, names) with their checksum, name hash and times.
#pragma once
#include "tools/mkcard_bytes.h"

#include <string>

namespace mkcard {

constexpr uint32_t entry_bytes = 32;
constexpr uint8_t entry_in_use = 0x80;
constexpr uint8_t entry_file = 0x85, entry_stream = 0xC0, entry_name = 0xC1;
constexpr uint8_t entry_bitmap = 0x81, entry_upcase = 0x82;
constexpr uint32_t name_units_per_entry = 15;
constexpr uint32_t fat_end_of_chain = 0xFFFFFFFFu;
constexpr uint16_t attribute_directory = 0x10, attribute_archive = 0x20;

struct ExfatVolume {
    uint64_t sector_bytes = 0;
    uint64_t cluster_bytes = 0;
    uint64_t fat_offset = 0;        // bytes from the volume start
    uint64_t fat_bytes = 0;         // one FAT
    uint32_t fats = 1;
    uint64_t heap_offset = 0;       // bytes from the volume start
    uint32_t cluster_count = 0;
    uint32_t root_cluster = 0;
    uint32_t bitmap_cluster = 0;
    uint64_t bitmap_bytes = 0;
    std::vector<uint16_t> upcase;   // the volume's up-case table, expanded to 65536 units
    uint64_t cluster_offset(uint32_t cluster) const { return heap_offset + uint64_t(cluster - 2) * cluster_bytes; }
};

// Reads the formatted volume at `fd`: its boot sector, the root directory's bitmap and up-case
// entries and the up-case table (runs of identity mappings compressed as 0xFFFF, count).
ExfatVolume read_exfat_volume(int fd);

// A time stamp as an entry holds it: local time to 10 ms with the offset from UTC in minutes.
struct EntryTime {
    int64_t utc_unix = 0;
    uint32_t centiseconds = 0;      // 0..99
    int utc_offset_minutes = 0;     // a multiple of 15
};

// "2024-05-17T19:20:30.47+09:00"
std::string entry_time_text(const EntryTime& t);

struct EntrySetFields {
    std::u16string name;
    uint16_t attributes = attribute_archive;
    EntryTime created, modified;
    uint64_t data_length = 0;
    uint64_t valid_data_length = 0;
    uint32_t first_cluster = 0;
    bool no_fat_chain = false;
};

// The entry set of `fields` with every InUse bit set and a correct checksum.
Bytes make_entry_set(const EntrySetFields& fields, const std::vector<uint16_t>& upcase);

uint16_t name_hash(const std::u16string& name, const std::vector<uint16_t>& upcase);
uint16_t entry_set_checksum(const uint8_t* set, size_t bytes);

// UTF-8 to UTF-16 (the generator's own names, so no check of the input).
std::u16string utf16_of(const std::string& utf8);

} // namespace mkcard
