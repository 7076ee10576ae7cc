#include "tools/mkcard_config.h"

namespace mkcard {

namespace {

// Removes emulation prevention bytes so fixed fields of a parameter set can be read.
Bytes unescape(const uint8_t* p, size_t n)
{
    Bytes out;
    size_t zeros = 0;
    for (size_t i = 0; i < n; i++) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out.push_back(p[i]);
    }
    return out;
}

void put_nal_array(Bytes& c, unsigned type, const Bytes& nal)
{
    put_u8(c, 0x80 | type);
    put_be16(c, 1);
    put_be16(c, static_cast<uint32_t>(nal.size()));
    put_bytes(c, nal);
}

// Reads the exp-Golomb and fixed fields of an unescaped parameter set; past its end it reads zeros.
struct Bits {
    const Bytes& raw;
    size_t at = 0;
    uint32_t bits(unsigned n)
    {
        uint32_t v = 0;
        while (n--)
            v = (v << 1) | next();
        return v;
    }
    uint32_t next()
    {
        uint32_t b = at / 8 < raw.size() ? (raw[at / 8] >> (7 - at % 8)) & 1 : 0;
        at++;
        return b;
    }
    uint32_t ue()
    {
        unsigned zeros = 0;
        while (!next() && zeros < 31)
            zeros++;
        return ((1u << zeros) - 1) + bits(zeros);
    }
};

// The sampling and bit depths a sequence parameter set states: chroma format, luma and chroma depth.
struct Sampling {
    uint32_t chroma = 1, luma_depth = 8, chroma_depth = 8;
};

bool avc_high_profile(uint32_t profile)
{
    for (uint32_t p : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u})
        if (p == profile)
            return true;
    return false;
}

Sampling avc_sampling(const Bytes& sps)
{
    Bytes raw = unescape(sps.data(), sps.size());
    Bits b{raw};
    Sampling s;
    b.bits(8);
    uint32_t profile = b.bits(8);
    b.bits(16);
    b.ue();  // set id
    if (avc_high_profile(profile)) {
        s.chroma = b.ue();
        if (s.chroma == 3)
            b.next();
        s.luma_depth = 8 + b.ue();
        s.chroma_depth = 8 + b.ue();
    }
    return s;
}

Sampling hevc_sampling(const Bytes& sps)
{
    Bytes raw = unescape(sps.data(), sps.size());
    Bits b{raw};
    Sampling s;
    b.bits(16 + 4);
    uint32_t sub_layers = b.bits(3);
    b.next();
    b.bits(32), b.bits(32), b.bits(24), b.bits(8);  // general profile, tier and level
    uint32_t profile_present[8] = {}, level_present[8] = {};
    for (uint32_t i = 0; i < sub_layers; i++)
        profile_present[i] = b.next(), level_present[i] = b.next();
    if (sub_layers)
        b.bits(2 * (8 - sub_layers));
    for (uint32_t i = 0; i < sub_layers; i++) {
        if (profile_present[i])
            b.bits(32), b.bits(32), b.bits(24);  // 88 bits
        if (level_present[i])
            b.bits(8);
    }
    b.ue();  // set id
    s.chroma = b.ue();
    if (s.chroma == 3)
        b.next();
    b.ue(), b.ue();  // picture size
    if (b.next())
        b.ue(), b.ue(), b.ue(), b.ue();
    s.luma_depth = 8 + b.ue();
    s.chroma_depth = 8 + b.ue();
    return s;
}

}  // namespace

int build_avcc(const Bytes& sps, const Bytes& pps, Bytes* out)
{
    if (sps.size() < 4 || pps.empty())
        return 0;
    Bytes c;
    put_u8(c, 1);
    put_u8(c, sps[1]);
    put_u8(c, sps[2]);
    put_u8(c, sps[3]);
    put_u8(c, 0xFF);  // 4-byte NAL lengths
    put_u8(c, 0xE1);  // one sequence parameter set
    put_be16(c, static_cast<uint32_t>(sps.size()));
    put_bytes(c, sps);
    put_u8(c, 1);
    put_be16(c, static_cast<uint32_t>(pps.size()));
    put_bytes(c, pps);
    if (avc_high_profile(sps[1])) {
        // the High profiles' record goes on with the sampling and no extension sets
        Sampling s = avc_sampling(sps);
        put_u8(c, 0xFC | s.chroma);
        put_u8(c, 0xF8 | (s.luma_depth - 8));
        put_u8(c, 0xF8 | (s.chroma_depth - 8));
        put_u8(c, 0);
    }
    *out = c;
    return 1;
}

int build_hvcc(const Bytes& vps, const Bytes& sps, const Bytes& pps, Bytes* out)
{
    Bytes raw = unescape(sps.data(), sps.size());
    // NAL header (2), then one byte of ids, then 12 bytes of general profile, tier and level
    if (vps.empty() || pps.empty() || raw.size() < 15)
        return 0;
    Sampling s = hevc_sampling(sps);
    Bytes c;
    put_u8(c, 1);
    c.insert(c.end(), raw.begin() + 3, raw.begin() + 15);
    put_be16(c, 0xF000);
    put_u8(c, 0xFC);
    put_u8(c, 0xFC | s.chroma);
    put_u8(c, 0xF8 | (s.luma_depth - 8));
    put_u8(c, 0xF8 | (s.chroma_depth - 8));
    put_be16(c, 0);
    put_u8(c, 0x0F);  // one temporal layer, nested, 4-byte NAL lengths
    put_u8(c, 3);
    put_nal_array(c, 32, vps);
    put_nal_array(c, 33, sps);
    put_nal_array(c, 34, pps);
    *out = c;
    return 1;
}

}  // namespace mkcard
