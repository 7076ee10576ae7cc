#include "codec/sequence_timing.h"

#include <numeric>

namespace codec {

namespace {

// Range limits of the fields walked over: larger counts are not the coding's.
constexpr uint32_t max_short_term_sets = 64;
constexpr uint32_t max_set_pictures = 32;
constexpr uint32_t max_long_term_pictures = 32;

FrameRate rate_of(uint64_t scale, uint64_t ticks, const RbspBits* b)
{
    if (b->overrun || scale == 0 || ticks == 0)
        return {};
    uint64_t d = std::gcd(scale, ticks);
    scale /= d, ticks /= d;
    if (scale > UINT32_MAX || ticks > UINT32_MAX)
        return {};
    return {uint32_t(scale), uint32_t(ticks)};
}

// The usability fields in front of the timing, the same in both codings up to the colour.
void skip_vui_head(RbspBits* b)
{
    if (read_bit(b) && read_bits(b, 8) == 255)  // aspect ratio; 255: the ratio itself follows
        read_bits(b, 32);
    if (read_bit(b))  // overscan
        read_bit(b);
    if (read_bit(b)) {  // video format and range, then maybe the colour description
        read_bits(b, 4);
        if (read_bit(b))
            read_bits(b, 24);
    }
    if (read_bit(b))  // chroma sample location
        read_ue(b), read_ue(b);
}

void skip_hevc_scaling_lists(RbspBits* b)
{
    for (uint32_t size = 0; size < 4; size++)
        for (uint32_t matrix = 0; matrix < 6 && !b->overrun; matrix += size == 3 ? 3 : 1) {
            if (!read_bit(b)) {
                read_ue(b);  // copied from another matrix
                continue;
            }
            uint32_t coefficients = size == 0 ? 16 : 64;
            if (size > 1)
                read_se(b);  // the DC coefficient
            for (uint32_t i = 0; i < coefficients && !b->overrun; i++)
                read_se(b);
        }
}

// One short-term reference picture set of the SPS; `pictures` holds how many pictures each set
// before it names, which a set predicted from the one in front of it needs.
int skip_short_term_set(RbspBits* b, uint32_t index, uint32_t* pictures)
{
    uint32_t n = 0;
    if (index > 0 && read_bit(b)) {
        read_bit(b), read_ue(b);  // the sign and size of the step from the set in front
        for (uint32_t j = 0; j <= pictures[index - 1] && !b->overrun; j++)
            if (read_bit(b) || read_bit(b))  // used by the picture, or kept for later ones
                n++;
    } else {
        uint32_t before = read_ue(b), after = read_ue(b);
        if (before > max_set_pictures || after > max_set_pictures)
            return 0;
        for (uint32_t j = 0; j < before + after && !b->overrun; j++)
            read_ue(b), read_bit(b);
        n = before + after;
    }
    pictures[index] = n;
    return !b->overrun && n <= max_set_pictures;
}

}  // namespace

FrameRate read_avc_timing(RbspBits* b)
{
    if (!read_bit(b))  // no usability information
        return {};
    skip_vui_head(b);
    if (!read_bit(b))
        return {};
    uint64_t ticks = read_bits(b, 32), scale = read_bits(b, 32);
    return rate_of(scale, 2 * ticks, b);
}

FrameRate read_hevc_timing(RbspBits* b, uint32_t sub_layers, uint32_t poc_lsb_bits)
{
    for (uint32_t i = read_bit(b) ? 0 : sub_layers; i <= sub_layers && !b->overrun; i++)
        read_ue(b), read_ue(b), read_ue(b);  // picture buffering of each sub-layer
    for (int i = 0; i < 6; i++)
        read_ue(b);  // coding and transform block sizes and depths
    if (read_bit(b) && read_bit(b))
        skip_hevc_scaling_lists(b);
    read_bit(b), read_bit(b);  // asymmetric partitions, sample adaptive offset
    if (read_bit(b)) {         // PCM coding: depths, block sizes, loop filter
        read_bits(b, 8);
        read_ue(b), read_ue(b);
        read_bit(b);
    }
    uint32_t sets = read_ue(b), pictures[max_short_term_sets] = {};
    if (sets > max_short_term_sets)
        return {};
    for (uint32_t i = 0; i < sets; i++)
        if (!skip_short_term_set(b, i, pictures))
            return {};
    if (read_bit(b)) {  // long-term pictures
        uint32_t n = read_ue(b);
        if (n > max_long_term_pictures)
            return {};
        for (uint32_t i = 0; i < n && !b->overrun; i++)
            read_bits(b, poc_lsb_bits), read_bit(b);
    }
    read_bit(b), read_bit(b);  // temporal motion vectors, strong intra smoothing
    if (!read_bit(b))          // no usability information
        return {};
    skip_vui_head(b);
    read_bits(b, 3);  // neutral chroma, field sequence, frame-field information
    if (read_bit(b))  // default display window
        read_ue(b), read_ue(b), read_ue(b), read_ue(b);
    if (!read_bit(b))
        return {};
    uint64_t ticks = read_bits(b, 32), scale = read_bits(b, 32);
    return rate_of(scale, ticks, b);
}

}  // namespace codec
