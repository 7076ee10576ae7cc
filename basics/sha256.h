#pragma once
// SHA-256 of a stream of bytes fed in pieces of any size: the card image while the raw scan
// reads it, and each written file, so the report can name both by their hashes.
#include <cstddef>
#include <cstdint>

namespace basics {

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes fed so far
    uint8_t block[64];
    size_t filled;    // bytes waiting in `block`
};

constexpr size_t sha256_digest_bytes = 32;
constexpr size_t sha256_hex_size = 65;  // 64 hex digits and the terminator

void sha256_begin(Sha256* h);
void sha256_add(Sha256* h, const uint8_t* bytes, size_t n);
// The digest of everything fed; `h` must be begun again before it is fed more.
void sha256_end(Sha256* h, uint8_t digest[sha256_digest_bytes]);
// The compression of `blocks` 64-byte blocks as the standard writes it: the definition every
// faster kernel is checked against.
void sha256_compress_plain(uint32_t state[8], const uint8_t* bytes, size_t blocks);
// Lower-case hex of a digest.
void sha256_hex(const uint8_t digest[sha256_digest_bytes], char out[sha256_hex_size]);

}  // namespace basics
