#pragma once
// SHA-256 blocks on the processor's SHA extensions: the same compression as the plain loop in
// sha256.cpp, which is its definition; a test runs both on the same blocks.
#include <cstddef>
#include <cstdint>

namespace basics {

// The 64 round constants of the standard, defined beside the plain loop, 16-byte aligned.
extern const uint32_t sha256_round_constants[64];

// 1 when this processor has the SHA extensions (and the build targets x86-64).
int sha256_shani_available();
// Compresses `blocks` 64-byte blocks into `state`; only when sha256_shani_available().
void sha256_compress_shani(uint32_t state[8], const uint8_t* bytes, size_t blocks);

}  // namespace basics
