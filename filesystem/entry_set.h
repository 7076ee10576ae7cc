#pragma once
// One file's directory entry set: a file entry, its stream extension and its name entries, live
// or deleted. A set is accepted only when everything in it agrees with itself.
#include <cstddef>
#include <cstdint>

namespace filesystem {

constexpr size_t entry_bytes = 32;
constexpr size_t max_name_units = 255;
// A file entry, its stream extension and at most 17 name entries.
constexpr size_t max_set_entries = 19;

// A timestamp as the entry holds it: local time with the 10 ms part and the UTC offset.
struct FsTime {
    uint32_t valid;  // 0: the field is zero or not a date
    uint32_t year, month, day, hour, minute, second, centiseconds;
    uint32_t has_offset;
    int32_t offset_minutes;
};

struct FileEntry {
    uint32_t live;         // 1: InUse set on every entry, 0: cleared on every entry
    uint32_t entries;      // entries in the set
    uint16_t attributes;
    uint32_t directory;    // attribute bit 4
    uint32_t no_fat_chain;
    uint32_t first_cluster;
    uint64_t data_length;
    uint64_t valid_data_length;
    FsTime created, modified, accessed;
    uint16_t name[max_name_units];
    uint32_t name_units;
};

// The set checksum over `entries` entries, every type byte taken with its InUse bit set.
uint16_t set_checksum(const uint8_t* set, size_t entries);
// The name hash over the up-cased name.
uint16_t name_hash(const uint16_t* upcased, size_t units);

// Up-cases one code unit: the card's table, or the default mapping.
using UpcaseFn = uint16_t (*)(const void* context, uint16_t unit);

// Reads the set starting at `p` with `avail` bytes behind it; 1 with `out` filled when the
// primary and every secondary agree on InUse, the secondary count covers the stream extension and
// every name entry, the checksum and the name hash hold and the first cluster lies in
// [2, cluster_count + 2) (or is 0 with no data).
int parse_entry_set(const uint8_t* p, size_t avail, UpcaseFn upcase, const void* context, uint32_t cluster_count,
                    FileEntry* out);

// The name as UTF-8; invalid UTF-16 becomes U+FFFD. Returns the length written (cut to cap - 1).
size_t name_utf8(const uint16_t* units, size_t n, char* out, size_t cap);

// Seconds since 1970 in UTC (local time less the offset when the entry gives one).
int64_t fs_time_unix(const FsTime* t);
// "2026-12-06 14:03:27.45 +01:00" ("... UTC offset unknown" without an offset); "unknown" when not valid.
void fs_time_text(const FsTime* t, char* out, size_t cap);

}  // namespace filesystem
