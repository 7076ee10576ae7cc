#include "tools/mkcard_exfat.h"

#include "tools/mkcard_recording.h"

#include <cstdio>
#include <cstring>

namespace mkcard {

namespace {

// Boot sector fields, in bytes from the sector's start.
constexpr size_t fat_offset_at = 80, fat_length_at = 84, heap_offset_at = 88, cluster_count_at = 92,
                 root_cluster_at = 96, sector_shift_at = 108, cluster_shift_at = 109, fats_at = 110;
// File entry: secondary count, set checksum, attributes, the three time stamps, the 10 ms
// increments of the first two and their UTC offsets.
constexpr size_t secondary_count_at = 1, checksum_at = 2, attributes_at = 4, created_at = 8, modified_at = 12,
                 accessed_at = 16, created_10ms_at = 20, modified_10ms_at = 21, created_offset_at = 22,
                 modified_offset_at = 23, accessed_offset_at = 24;
// Stream extension: flags, name length and hash, valid data length, first cluster, data length.
constexpr size_t flags_at = 1, name_length_at = 3, name_hash_at = 4, valid_length_at = 8, first_cluster_at = 20,
                 data_length_at = 24;
constexpr uint8_t allocation_possible = 0x01, no_fat_chain_flag = 0x02;

std::vector<uint16_t> expand_upcase(const Bytes& table)
{
    std::vector<uint16_t> up(65536);
    for (uint32_t c = 0; c < 65536; c++)
        up[c] = static_cast<uint16_t>(c);
    uint32_t c = 0;
    for (size_t i = 0; i + 1 < table.size() && c < 65536; i += 2) {
        uint16_t v = static_cast<uint16_t>(table[i] | (table[i + 1] << 8));
        if (v == 0xFFFF && i + 3 < table.size()) {
            c += table[i + 2] | (table[i + 3] << 8);
            i += 2;
        } else {
            up[c++] = v;
        }
    }
    return up;
}

struct LocalClock {
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

LocalClock local_clock(const EntryTime& t)
{
    int64_t local = t.utc_unix + int64_t(t.utc_offset_minutes) * 60;
    int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    int64_t secs = local - days * 86400;
    LocalClock c;
    civil_from_days(days, &c.year, &c.month, &c.day);
    c.hour = unsigned(secs / 3600), c.minute = unsigned(secs / 60 % 60), c.second = unsigned(secs % 60);
    return c;
}

// The local date and time of `t` packed as an entry stores it (two-second steps), and its 10 ms
// increment, which carries the odd second.
uint32_t packed_time(const EntryTime& t, uint8_t* increment)
{
    LocalClock c = local_clock(t);
    *increment = static_cast<uint8_t>((c.second % 2) * 100 + t.centiseconds);
    return (uint32_t(c.year - 1980) << 25) | (c.month << 21) | (c.day << 16) | (c.hour << 11) | (c.minute << 5) |
           (c.second / 2);
}

uint8_t offset_byte(const EntryTime& t)
{
    return static_cast<uint8_t>(0x80 | ((t.utc_offset_minutes / 15) & 0x7F));
}

} // namespace

ExfatVolume read_exfat_volume(int fd)
{
    uint8_t boot[512];
    read_at(fd, 0, boot, sizeof boot);
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0)
        die("no exFAT boot sector in the formatted volume");
    ExfatVolume v;
    v.sector_bytes = uint64_t(1) << boot[sector_shift_at];
    v.cluster_bytes = v.sector_bytes << boot[cluster_shift_at];
    v.fat_offset = get_le32(boot + fat_offset_at) * v.sector_bytes;
    v.fat_bytes = get_le32(boot + fat_length_at) * v.sector_bytes;
    v.fats = boot[fats_at];
    v.heap_offset = get_le32(boot + heap_offset_at) * v.sector_bytes;
    v.cluster_count = get_le32(boot + cluster_count_at);
    v.root_cluster = get_le32(boot + root_cluster_at);
    // mkfs.exfat leaves a root directory of one cluster holding the bitmap and up-case entries
    Bytes root(v.cluster_bytes);
    read_at(fd, v.cluster_offset(v.root_cluster), root.data(), root.size());
    uint32_t upcase_cluster = 0;
    uint64_t upcase_bytes = 0;
    for (size_t at = 0; at + entry_bytes <= root.size() && root[at]; at += entry_bytes)
        if (root[at] == entry_bitmap) {
            v.bitmap_cluster = get_le32(&root[at + first_cluster_at]);
            v.bitmap_bytes = get_le64(&root[at + data_length_at]);
        } else if (root[at] == entry_upcase) {
            upcase_cluster = get_le32(&root[at + first_cluster_at]);
            upcase_bytes = get_le64(&root[at + data_length_at]);
        }
    if (!v.bitmap_cluster || !upcase_cluster || upcase_bytes > 1 << 20)
        die("no allocation bitmap or up-case table in the formatted volume's root directory");
    Bytes table(upcase_bytes);
    read_at(fd, v.cluster_offset(upcase_cluster), table.data(), table.size());
    v.upcase = expand_upcase(table);
    return v;
}

std::string entry_time_text(const EntryTime& t)
{
    LocalClock c = local_clock(t);
    int off = t.utc_offset_minutes < 0 ? -t.utc_offset_minutes : t.utc_offset_minutes;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02u:%02u:%02u.%02u%c%02d:%02d", c.year, c.month, c.day, c.hour,
                  c.minute, c.second, t.centiseconds, t.utc_offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

uint16_t name_hash(const std::u16string& name, const std::vector<uint16_t>& upcase)
{
    uint16_t hash = 0;
    for (char16_t unit : name) {
        uint16_t c = upcase[uint16_t(unit)];
        for (uint8_t b : {uint8_t(c & 0xFF), uint8_t(c >> 8)})
            hash = static_cast<uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
    }
    return hash;
}

uint16_t entry_set_checksum(const uint8_t* set, size_t bytes)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < bytes; i++)
        if (i != checksum_at && i != checksum_at + 1)
            sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    return sum;
}

Bytes make_entry_set(const EntrySetFields& s, const std::vector<uint16_t>& upcase)
{
    size_t names = (s.name.size() + name_units_per_entry - 1) / name_units_per_entry;
    if (s.name.empty() || s.name.size() > 255)
        die("an exFAT name holds 1 to 255 code units");
    Bytes set((2 + names) * entry_bytes, 0);
    uint8_t* file = set.data();
    file[0] = entry_file;
    file[secondary_count_at] = static_cast<uint8_t>(1 + names);
    set_le16(file + attributes_at, s.attributes);
    uint8_t created_10ms = 0, modified_10ms = 0;
    set_le32(file + created_at, packed_time(s.created, &created_10ms));
    set_le32(file + modified_at, packed_time(s.modified, &modified_10ms));
    uint8_t unused = 0;
    set_le32(file + accessed_at, packed_time(s.modified, &unused));
    file[created_10ms_at] = created_10ms;
    file[modified_10ms_at] = modified_10ms;
    file[created_offset_at] = offset_byte(s.created);
    file[modified_offset_at] = offset_byte(s.modified);
    file[accessed_offset_at] = offset_byte(s.modified);
    uint8_t* stream = file + entry_bytes;
    stream[0] = entry_stream;
    stream[flags_at] = allocation_possible | (s.no_fat_chain ? no_fat_chain_flag : 0);
    stream[name_length_at] = static_cast<uint8_t>(s.name.size());
    set_le16(stream + name_hash_at, name_hash(s.name, upcase));
    set_le64(stream + valid_length_at, s.valid_data_length);
    set_le32(stream + first_cluster_at, s.first_cluster);
    set_le64(stream + data_length_at, s.data_length);
    for (size_t k = 0; k < names; k++) {
        uint8_t* e = stream + (1 + k) * entry_bytes;
        e[0] = entry_name;
        for (size_t u = 0; u < name_units_per_entry && k * name_units_per_entry + u < s.name.size(); u++)
            set_le16(e + 2 + 2 * u, s.name[k * name_units_per_entry + u]);
    }
    set_le16(file + checksum_at, entry_set_checksum(set.data(), set.size()));
    return set;
}

std::u16string utf16_of(const std::string& utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        uint8_t b = static_cast<uint8_t>(utf8[i]);
        uint32_t c = b, more = 0;
        if (b >= 0xF0) c = b & 0x07, more = 3;
        else if (b >= 0xE0) c = b & 0x0F, more = 2;
        else if (b >= 0xC0) c = b & 0x1F, more = 1;
        for (i++; more && i < utf8.size(); more--, i++)
            c = (c << 6) | (static_cast<uint8_t>(utf8[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

} // namespace mkcard
