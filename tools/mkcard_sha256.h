// SHA-256 of a byte buffer, in hex, for the truth file's sidecar digests.
#pragma once
#include "tools/mkcard_bytes.h"

#include <string>

namespace mkcard {

std::string sha256_hex(const uint8_t* p, size_t n);
inline std::string sha256_hex(const Bytes& b) { return sha256_hex(b.data(), b.size()); }

} // namespace mkcard
