#pragma once
// The NAL units of one length-prefixed video sample, as the camera writes AVC and HEVC: each unit
// behind a 4-byte big-endian length, the first unit an access-unit delimiter. Every reader of
// sample content (the chunk search, salvage, the parameter sets) goes through these rules.
#include <cstdint>

#include "basics/byte_order.h"

namespace codec {

// The NAL syntax a track's samples are checked against. A track without a sample entry is
// checked as AVC, the camera's usual video; any other entry only by unit lengths.
enum class Syntax { avc, hevc, other };

Syntax syntax_of(const char* format);

// A sample holds no more units than this; more is not the camera's.
constexpr uint32_t max_units = 4096;

// An access-unit delimiter at the start of a sample: unit length 2 with AVC NAL type 9, or
// unit length 2 or 3 with HEVC NAL type 35.
inline int starts_with_delimiter(const uint8_t* b, int hevc)
{
    if (b[0] != 0 || b[1] != 0 || b[2] != 0)
        return 0;
    if (hevc)
        return (b[3] == 2 || b[3] == 3) && b[4] == 0x46;
    return b[3] == 2 && b[4] == 0x09;
}

// The NAL unit type from the unit's first header byte.
inline uint32_t unit_type(const uint8_t* unit, int hevc) { return hevc ? (unit[0] >> 1) & 0x3F : unit[0] & 0x1F; }

// 1 when a unit of `length` bytes whose header starts at `unit` could be the camera's: the
// forbidden bit clear, AVC types 1 to 23, HEVC of the base layer with a temporal id. The unit's
// header bytes (one for AVC, two for HEVC) must be readable when `length` covers them.
int unit_header_ok(const uint8_t* unit, uint64_t length, Syntax syntax);

// 1 when the unit holds coded slice data (a picture, not a parameter set, SEI or delimiter).
int unit_is_slice(const uint8_t* unit, Syntax syntax);

// Calls `seen(unit, size)` for every length-prefixed unit of the sample, in order, until it
// returns non-zero or a length runs past the sample.
template <typename Fn>
void for_each_unit(const uint8_t* sample, uint64_t len, Fn seen)
{
    uint64_t pos = 0;
    while (len - pos >= 5) {
        uint64_t unit = basics::load_be32(sample + pos);
        if (unit == 0 || unit > len - pos - 4)
            return;
        if (seen(sample + pos + 4, uint32_t(unit)))
            return;
        pos += 4 + unit;
    }
}

// The sample's units fill it exactly, each header could be the camera's, and (AVC and HEVC) at
// least one holds slice data.
int sample_structure_ok(const uint8_t* sample, uint64_t len, Syntax syntax);
// What the walk of a sample tests first: its first unit fits and its header could be the
// camera's. Testing this for every sample of a chunk before walking any rejects a wrong
// candidate after a few bytes, where the walk of a wrong first sample would cross many units.
int first_unit_ok(const uint8_t* sample, uint64_t len, Syntax syntax);

// 1 when no unit of the sample holds a byte sequence the coding never writes inside a unit
// (00 00 00, 00 00 01 or 00 00 02) or ends in a zero byte: the sign of a zeroed or foreign range
// that kept the units' lengths.
int units_escaped(const uint8_t* sample, uint64_t len);

// 1 when an AVC SEI unit (its header included) holds a recovery point message: the picture it
// goes with starts a stream a decoder can join, as an open group's I picture does.
int avc_recovery_point(const uint8_t* sei, uint32_t size);

// Offset of the last unit's length field in a sample whose units fill it.
uint64_t last_unit_at(const uint8_t* sample, uint64_t len);

// A sample of `len` bytes of which only the first `have` are known, its last unit's payload cut
// short: 1 when those bytes show it as the camera writes it (a delimiter first, every unit's
// length field and header among them, the lengths filling exactly `len`, slice data in a unit,
// and no unit's bytes among them that the coding never writes), with the offset of the last
// unit's length field in `last`.
int units_shown(const uint8_t* sample, uint64_t have, uint64_t len, Syntax syntax, uint64_t* last);

}  // namespace codec
