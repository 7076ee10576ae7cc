#include "codec/nal_units.h"

#include <algorithm>
#include <cstring>

#include "mp4/sample_tables.h"

namespace codec {

Syntax syntax_of(const char* format)
{
    if (format && mp4::format_is_hevc(format))
        return Syntax::hevc;
    if (!format || format[0] == 0 || mp4::format_is_avc(format))
        return Syntax::avc;
    return Syntax::other;
}

int unit_header_ok(const uint8_t* unit, uint64_t length, Syntax syntax)
{
    if (length == 0)
        return 0;
    if (syntax == Syntax::avc) {
        uint32_t type = unit[0] & 0x1F;
        return !(unit[0] & 0x80) && type >= 1 && type <= 23;
    }
    if (syntax == Syntax::hevc)
        return length >= 2 && !(unit[0] & 0x80) && !(unit[0] & 1) && !(unit[1] >> 3) && (unit[1] & 7) != 0;
    return 1;
}

int unit_is_slice(const uint8_t* unit, Syntax syntax)
{
    if (syntax == Syntax::avc)
        return (unit[0] & 0x1B) == 1;  // types 1 and 5
    return syntax == Syntax::hevc && (unit[0] & 0x40) == 0;  // types 0 to 31
}

int sample_structure_ok(const uint8_t* sample, uint64_t len, Syntax syntax)
{
    if (len == 0)
        return 0;
    uint64_t pos = 0;
    uint32_t units = 0;
    int coded = 0;
    while (len - pos >= 4) {
        uint64_t unit = basics::load_be32(sample + pos);
        if (unit == 0 || unit > len - pos - 4 || ++units > max_units || !unit_header_ok(sample + pos + 4, unit, syntax))
            return 0;
        coded |= unit_is_slice(sample + pos + 4, syntax);
        pos += 4 + unit;
    }
    if (pos != len || units == 0)
        return 0;
    return syntax == Syntax::other ? 1 : coded;
}

int first_unit_ok(const uint8_t* sample, uint64_t len, Syntax syntax)
{
    if (len < 5)
        return 0;
    uint64_t unit = basics::load_be32(sample);
    return unit != 0 && unit <= len - 4 && unit_header_ok(sample + 4, unit, syntax);
}

namespace {

// 1 when bytes [from, to) of a unit hold 00 00 00, 00 00 01 or 00 00 02.
int unescaped_in(const uint8_t* from, const uint8_t* to)
{
    for (const uint8_t* z = from; (z = static_cast<const uint8_t*>(std::memchr(z, 0, size_t(to - z)))) != nullptr;) {
        if (to - z >= 3 && z[1] == 0 && z[2] <= 2)
            return 1;
        if (++z >= to)
            break;
    }
    return 0;
}

}  // namespace

int units_escaped(const uint8_t* sample, uint64_t len)
{
    uint64_t pos = 0;
    while (len - pos >= 4) {
        uint64_t unit = basics::load_be32(sample + pos);
        if (unit > len - pos - 4)
            return 0;
        const uint8_t* p = sample + pos + 4;
        if (unit == 0 || p[unit - 1] == 0 || unescaped_in(p, p + unit))
            return 0;
        pos += 4 + unit;
    }
    return pos == len;
}

int avc_recovery_point(const uint8_t* sei, uint32_t size)
{
    constexpr uint32_t recovery_point = 6;
    // message after message: the type, then the size, each as a run of 0xFF bytes and the last
    uint32_t pos = 1;
    while (pos < size && sei[pos] != 0x80) {  // 0x80: the trailing bits
        uint32_t type = 0, length = 0;
        while (pos < size && sei[pos] == 0xFF)
            type += 255, pos++;
        if (pos >= size)
            return 0;
        type += sei[pos++];
        while (pos < size && sei[pos] == 0xFF)
            length += 255, pos++;
        if (pos >= size)
            return 0;
        length += sei[pos++];
        if (type == recovery_point)
            return 1;
        if (length > size - pos)
            return 0;
        pos += length;
    }
    return 0;
}

uint64_t last_unit_at(const uint8_t* sample, uint64_t len)
{
    uint64_t last = 0;
    for (uint64_t pos = 0; len - pos > 4; pos += 4 + basics::load_be32(sample + pos))
        last = pos;
    return last;
}

int units_shown(const uint8_t* sample, uint64_t have, uint64_t len, Syntax syntax, uint64_t* last)
{
    uint64_t header = syntax == Syntax::hevc ? 2 : 1, pos = 0, at = 0;
    uint32_t units = 0;
    int coded = 0;
    if (have > len || have < 5 || !starts_with_delimiter(sample, syntax == Syntax::hevc))
        return 0;
    while (pos < len) {
        if (have - std::min(pos, have) < 4 + header || len - pos < 4 + header)
            return 0;
        uint64_t unit = basics::load_be32(sample + pos);
        const uint8_t* p = sample + pos + 4;
        if (unit == 0 || unit > len - pos - 4 || ++units > max_units || !unit_header_ok(p, unit, syntax))
            return 0;
        coded |= unit_is_slice(p, syntax);
        uint64_t known = std::min(unit, have - pos - 4);
        if (unescaped_in(p, p + known) || (known == unit && p[unit - 1] == 0))
            return 0;
        at = pos;
        pos += 4 + unit;
    }
    *last = at;
    return syntax == Syntax::other || coded;
}

}  // namespace codec
