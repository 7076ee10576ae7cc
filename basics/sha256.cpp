#include "basics/sha256.h"

#include <cstring>

#include "basics/byte_order.h"
#include "basics/sha256_shani.h"

namespace basics {

alignas(16) const uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + sha256_round_constants[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// Whole blocks, on the SHA extensions where the processor has them.
void compress_blocks(uint32_t state[8], const uint8_t* bytes, size_t blocks)
{
    static const int shani = sha256_shani_available();
    if (shani)
        sha256_compress_shani(state, bytes, blocks);
    else
        sha256_compress_plain(state, bytes, blocks);
}

}  // namespace

void sha256_compress_plain(uint32_t state[8], const uint8_t* bytes, size_t blocks)
{
    for (; blocks > 0; blocks--, bytes += 64)
        compress(state, bytes);
}

void sha256_begin(Sha256* h)
{
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(h->state, initial, sizeof initial);
    h->length = 0;
    h->filled = 0;
}

void sha256_add(Sha256* h, const uint8_t* bytes, size_t n)
{
    if (n == 0)  // an empty piece may come without bytes
        return;
    h->length += n;
    if (h->filled > 0) {
        size_t take = 64 - h->filled < n ? 64 - h->filled : n;
        std::memcpy(h->block + h->filled, bytes, take);
        h->filled += take;
        bytes += take;
        n -= take;
        if (h->filled < 64)
            return;
        compress_blocks(h->state, h->block, 1);
        h->filled = 0;
    }
    // whole blocks straight from the caller's bytes
    size_t whole = n / 64;
    if (whole)
        compress_blocks(h->state, bytes, whole);
    bytes += whole * 64;
    n -= whole * 64;
    std::memcpy(h->block, bytes, n);
    h->filled = n;
}

void sha256_end(Sha256* h, uint8_t digest[sha256_digest_bytes])
{
    uint64_t bits = h->length * 8;
    uint8_t pad[72] = {0x80};
    // the padding ends the message 8 bytes short of a block boundary, then the bit length
    size_t pad_len = h->filled < 56 ? 56 - h->filled : 120 - h->filled;
    for (int i = 0; i < 8; i++)
        pad[pad_len + i] = uint8_t(bits >> (56 - 8 * i));
    uint64_t length = h->length;
    sha256_add(h, pad, pad_len + 8);
    h->length = length;
    for (int i = 0; i < 8; i++) {
        digest[4 * i] = uint8_t(h->state[i] >> 24);
        digest[4 * i + 1] = uint8_t(h->state[i] >> 16);
        digest[4 * i + 2] = uint8_t(h->state[i] >> 8);
        digest[4 * i + 3] = uint8_t(h->state[i]);
    }
}

void sha256_hex(const uint8_t digest[sha256_digest_bytes], char out[sha256_hex_size])
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < sha256_digest_bytes; i++) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 15];
    }
    out[64] = 0;
}

}  // namespace basics
