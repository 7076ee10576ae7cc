#include "tools/mkcard_sha256.h"

#include "basics/sha256.h"

namespace mkcard {

std::string sha256_hex(const uint8_t* p, size_t n)
{
    basics::Sha256 h;
    basics::sha256_begin(&h);
    basics::sha256_add(&h, p, n);
    uint8_t digest[basics::sha256_digest_bytes];
    basics::sha256_end(&h, digest);
    char hex[basics::sha256_hex_size];
    basics::sha256_hex(digest, hex);
    return hex;
}

}  // namespace mkcard
