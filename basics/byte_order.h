#pragma once
// Byte-order loads and stores: MP4 boxes are big-endian, exFAT and three kkad fields little-endian.
#include <cstdint>

namespace basics {

inline uint16_t load_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t load_be64(const uint8_t* p) { return (uint64_t(load_be32(p)) << 32) | load_be32(p + 4); }
inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p)) | (uint64_t(load_le32(p + 4)) << 32); }

inline void store_be16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

inline void store_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void store_be64(uint8_t* p, uint64_t v)
{
    store_be32(p, uint32_t(v >> 32));
    store_be32(p + 4, uint32_t(v));
}
inline void store_le64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = uint8_t(v >> (8 * i));
}

}  // namespace basics
