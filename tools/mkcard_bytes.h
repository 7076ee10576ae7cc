// Byte buffers and the box writer the sample card generator builds its files with.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mkcard {

using Bytes = std::vector<uint8_t>;

inline void put_u8(Bytes& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put_be16(Bytes& b, uint32_t v) { put_u8(b, v >> 8); put_u8(b, v); }
inline void put_be32(Bytes& b, uint32_t v) { put_be16(b, v >> 16); put_be16(b, v & 0xFFFF); }
inline void put_be64(Bytes& b, uint64_t v) { put_be32(b, static_cast<uint32_t>(v >> 32)); put_be32(b, static_cast<uint32_t>(v)); }
inline void put_zeros(Bytes& b, size_t n) { b.insert(b.end(), n, 0); }
inline void put_text(Bytes& b, const char* s) { while (*s) put_u8(b, static_cast<uint8_t>(*s++)); }
inline void put_bytes(Bytes& b, const Bytes& v) { b.insert(b.end(), v.begin(), v.end()); }

inline void set_be32(uint8_t* p, uint32_t v) { p[0] = v >> 24; p[1] = v >> 16; p[2] = v >> 8; p[3] = v; }
inline void set_be16(uint8_t* p, uint32_t v) { p[0] = v >> 8; p[1] = v; }
inline void set_be64(uint8_t* p, uint64_t v) { set_be32(p, v >> 32); set_be32(p + 4, static_cast<uint32_t>(v)); }
inline void set_le16(uint8_t* p, uint32_t v) { p[0] = v; p[1] = v >> 8; }
inline void set_le32(uint8_t* p, uint32_t v) { set_le16(p, v & 0xFFFF); set_le16(p + 2, v >> 16); }
inline void set_le64(uint8_t* p, uint64_t v) { set_le32(p, static_cast<uint32_t>(v)); set_le32(p + 4, v >> 32); }
inline uint32_t get_be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
inline uint32_t get_le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
inline uint64_t get_le64(const uint8_t* p) { return get_le32(p) | (uint64_t(get_le32(p + 4)) << 32); }

// Opens a box: writes a placeholder size and the type; close_box patches the size.
inline size_t open_box(Bytes& b, const char* type)
{
    size_t at = b.size();
    put_be32(b, 0);
    put_text(b, type);
    return at;
}
inline size_t open_full_box(Bytes& b, const char* type, uint32_t version, uint32_t flags)
{
    size_t at = open_box(b, type);
    put_be32(b, (version << 24) | flags);
    return at;
}
inline void close_box(Bytes& b, size_t at) { set_be32(b.data() + at, static_cast<uint32_t>(b.size() - at)); }

// Fixed-seed generator for random free space and damage, so a card is the same on every run. Its
// state only counts up: `after` gives the generator as it stands `calls` draws on, without drawing.
struct Rng {
    uint64_t state;
    static Rng after(uint64_t seed, uint64_t calls) { return Rng{seed + calls * 0x9E3779B97F4A7C15ull}; }
    // draws that `fill` takes for n bytes
    static uint64_t fill_calls(uint64_t n) { return (n + 7) / 8; }
    uint64_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    void fill(uint8_t* p, size_t n)
    {
        for (size_t i = 0; i < n; i += 8) {
            uint64_t v = next();
            for (size_t k = 0; k < 8 && i + k < n; k++)
                p[i + k] = static_cast<uint8_t>(v >> (8 * k));
        }
    }
};

// Breaks every box type and start-of-sample pattern the engine searches for, so random bytes
// never pose as a clip header, marker, movie box or video sample.
void scrub_signatures(uint8_t* p, size_t n);

// Exactly n bytes at offset `at` of the open file `fd`; dies on a short read or write.
void read_at(int fd, uint64_t at, uint8_t* p, uint64_t n);
void write_at(int fd, uint64_t at, const uint8_t* p, uint64_t n);

int read_file(const std::string& path, Bytes* out);
int write_file(const std::string& path, const uint8_t* p, size_t n);
inline int write_file(const std::string& path, const Bytes& b) { return write_file(path, b.data(), b.size()); }
int run_command(const std::string& cmd);
[[noreturn]] void die(const std::string& message);

} // namespace mkcard
