// Entry sets: the rotate-and-add checksum over the set, the name hash over the up-cased name,
// and the timestamps. A deleted set keeps its bytes with bit 7 of every type byte cleared, so its
// checksum holds once those bits are set again; a slot a newer set reused leaves orphan entries
// whose checksum does not.
#include "filesystem/entry_set.h"

#include <cstdio>
#include <cstring>

#include "basics/byte_order.h"

namespace filesystem {

namespace {

constexpr uint8_t in_use = 0x80;
constexpr uint8_t file_type = 0x85, stream_type = 0xC0, name_type = 0xC1;
constexpr uint32_t name_units_per_entry = 15;

void read_time(const uint8_t* f, size_t stamp_at, int centis_at, size_t offset_at, FsTime* t)
{
    uint32_t v = basics::load_le32(f + stamp_at);
    *t = FsTime{};
    t->year = 1980 + (v >> 25);
    t->month = (v >> 21) & 15;
    t->day = (v >> 16) & 31;
    t->hour = (v >> 11) & 31;
    t->minute = (v >> 5) & 63;
    t->second = (v & 31) * 2;
    uint32_t centis = centis_at >= 0 ? f[centis_at] : 0;
    if (centis <= 199) {
        t->second += centis / 100;
        t->centiseconds = centis % 100;
    }
    t->valid = v != 0 && t->month >= 1 && t->month <= 12 && t->day >= 1 && t->hour < 24 && t->minute < 60 &&
               t->second < 62;
    uint8_t off = f[offset_at];
    if (off & 0x80) {
        t->has_offset = 1;
        int32_t quarters = (off & 0x40) ? int32_t(off & 0x7F) - 128 : int32_t(off & 0x7F);
        t->offset_minutes = quarters * 15;
    }
}

int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

uint16_t set_checksum(const uint8_t* set, size_t entries)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < entries * entry_bytes; i++) {
        if (i == 2 || i == 3)
            continue;
        uint8_t b = set[i];
        if (i % entry_bytes == 0)
            b |= in_use;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

uint16_t name_hash(const uint16_t* upcased, size_t units)
{
    uint16_t hash = 0;
    for (size_t i = 0; i < units; i++) {
        uint8_t bytes[2] = {uint8_t(upcased[i]), uint8_t(upcased[i] >> 8)};
        for (uint8_t b : bytes)
            hash = static_cast<uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
    }
    return hash;
}

int parse_entry_set(const uint8_t* p, size_t avail, UpcaseFn upcase, const void* context, uint32_t cluster_count,
                    FileEntry* out)
{
    if (avail < 3 * entry_bytes || (p[0] | in_use) != file_type)
        return 0;
    uint8_t live = p[0] & in_use;
    size_t secondaries = p[1];
    size_t entries = secondaries + 1;
    if (secondaries < 2 || entries > max_set_entries || entries * entry_bytes > avail)
        return 0;
    const uint8_t* stream = p + entry_bytes;
    if (stream[0] != (stream_type & (live | 0x7F)))
        return 0;
    uint32_t units = stream[3];
    size_t name_entries = (units + name_units_per_entry - 1) / name_units_per_entry;
    if (units == 0 || 2 + name_entries > entries)
        return 0;
    // every secondary shares the primary's InUse bit; the name entries follow the stream extension,
    // any further secondaries are of other kinds (bit 6 set, not a name)
    for (size_t e = 2; e < entries; e++) {
        uint8_t type = p[e * entry_bytes];
        if ((type & in_use) != live || !(type & 0x40))
            return 0;
        if ((e < 2 + name_entries) != ((type | in_use) == name_type))
            return 0;
    }
    if (set_checksum(p, entries) != basics::load_le16(p + 2))
        return 0;
    FileEntry f = {};
    for (uint32_t i = 0; i < units; i++)
        f.name[i] = basics::load_le16(p + 2 * entry_bytes + (i / name_units_per_entry) * entry_bytes + 2 +
                                      (i % name_units_per_entry) * 2);
    uint16_t upcased[max_name_units];
    for (uint32_t i = 0; i < units; i++)
        upcased[i] = upcase(context, f.name[i]);
    if (name_hash(upcased, units) != basics::load_le16(stream + 4))
        return 0;
    f.live = live ? 1 : 0;
    f.entries = static_cast<uint32_t>(entries);
    f.name_units = units;
    f.attributes = basics::load_le16(p + 4);
    f.directory = (f.attributes >> 4) & 1;
    f.no_fat_chain = (stream[1] >> 1) & 1;
    f.valid_data_length = basics::load_le64(stream + 8);
    f.first_cluster = basics::load_le32(stream + 20);
    f.data_length = basics::load_le64(stream + 24);
    if (f.valid_data_length > f.data_length)
        return 0;
    if (f.data_length == 0 ? f.first_cluster != 0 && (f.first_cluster < 2 || f.first_cluster - 2 >= cluster_count)
                           : f.first_cluster < 2 || f.first_cluster - 2 >= cluster_count)
        return 0;
    read_time(p, 8, 20, 22, &f.created);
    read_time(p, 12, 21, 23, &f.modified);
    read_time(p, 16, -1, 24, &f.accessed);
    *out = f;
    return 1;
}

size_t name_utf8(const uint16_t* units, size_t n, char* out, size_t cap)
{
    size_t len = 0;
    auto put = [&](uint32_t cp) {
        uint8_t b[4];
        size_t k;
        if (cp < 0x80) {
            b[0] = uint8_t(cp);
            k = 1;
        } else if (cp < 0x800) {
            b[0] = uint8_t(0xC0 | (cp >> 6));
            b[1] = uint8_t(0x80 | (cp & 63));
            k = 2;
        } else if (cp < 0x10000) {
            b[0] = uint8_t(0xE0 | (cp >> 12));
            b[1] = uint8_t(0x80 | ((cp >> 6) & 63));
            b[2] = uint8_t(0x80 | (cp & 63));
            k = 3;
        } else {
            b[0] = uint8_t(0xF0 | (cp >> 18));
            b[1] = uint8_t(0x80 | ((cp >> 12) & 63));
            b[2] = uint8_t(0x80 | ((cp >> 6) & 63));
            b[3] = uint8_t(0x80 | (cp & 63));
            k = 4;
        }
        if (cap == 0 || len + k > cap - 1)
            return;
        std::memcpy(out + len, b, k);
        len += k;
    };
    for (size_t i = 0; i < n; i++) {
        uint32_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            put(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            i++;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    if (cap)
        out[len] = 0;
    return len;
}

int64_t fs_time_unix(const FsTime* t)
{
    int64_t s = days_from_civil(t->year, t->month, t->day) * 86400 + int64_t(t->hour) * 3600 + t->minute * 60 +
                t->second;
    return t->has_offset ? s - int64_t(t->offset_minutes) * 60 : s;
}

void fs_time_text(const FsTime* t, char* out, size_t cap)
{
    if (!t->valid) {
        std::snprintf(out, cap, "unknown");
        return;
    }
    char zone[32];
    if (t->has_offset) {
        int32_t m = t->offset_minutes < 0 ? -t->offset_minutes : t->offset_minutes;
        std::snprintf(zone, sizeof zone, "%c%02d:%02d", t->offset_minutes < 0 ? '-' : '+', int(m / 60), int(m % 60));
    } else {
        std::snprintf(zone, sizeof zone, "UTC offset unknown");
    }
    std::snprintf(out, cap, "%04u-%02u-%02u %02u:%02u:%02u.%02u %s", t->year, t->month, t->day, t->hour, t->minute,
                  t->second, t->centiseconds, zone);
}

}  // namespace filesystem
