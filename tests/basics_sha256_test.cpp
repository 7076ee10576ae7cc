#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basics/sha256.h"
#include "basics/sha256_shani.h"

namespace {

std::string hex_of(const std::string& message, size_t piece)
{
    basics::Sha256 h;
    basics::sha256_begin(&h);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(message.data());
    for (size_t at = 0; at < message.size(); at += piece)
        basics::sha256_add(&h, p + at, message.size() - at < piece ? message.size() - at : piece);
    uint8_t digest[basics::sha256_digest_bytes];
    basics::sha256_end(&h, digest);
    char out[basics::sha256_hex_size];
    basics::sha256_hex(digest, out);
    return out;
}

// The published test vectors, bytes with their top bit set, and lengths around the padding's
// edges (55 bytes still take one block, 56 need two), each fed whole and in awkward pieces that
// straddle block boundaries.
TEST(Sha256, KnownVectorsWholeAndInPieces)
{
    struct Case {
        const char* name;
        std::string message;
        const char* expected;
    } cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks of the standard", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"55 bytes: length fits the first block", std::string(55, 'a'),
         "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {"56 bytes: length needs a second block", std::string(56, 'a'),
         "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {"64 bytes: one whole block", std::string(64, 'a'),
         "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {"bytes above 0x7f", std::string(1000, '\xff'), "b4f73dff046400b76728ab32619e3d89e00132653725f660c62ab9fca975b372"},
        {"a million a's", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t(1) << 30, size_t(1), size_t(63), size_t(65), size_t(4096)}) {
            if (piece == 1 && c.message.size() > 100000)
                continue;
            EXPECT_EQ(hex_of(c.message, piece ? piece : 1), c.expected) << c.name << ", pieces of " << piece;
        }
    }
}


// The SHA extensions' kernel against the plain loop, on the same blocks from the same states.
TEST(Sha256, ProcessorKernelMatchesThePlainLoop)
{
    if (!basics::sha256_shani_available())
        GTEST_SKIP() << "this processor has no SHA extensions";
    std::vector<uint8_t> bytes(64 * 37);
    uint32_t x = 7;
    for (uint8_t& b : bytes) {
        x = x * 1664525 + 1013904223;
        b = uint8_t(x >> 24);
    }
    for (size_t blocks : {size_t(1), size_t(2), size_t(37)}) {
        uint32_t plain[8], fast[8];
        for (int i = 0; i < 8; i++)
            plain[i] = fast[i] = 0x01234567u * uint32_t(i + 1) ^ uint32_t(blocks);
        basics::sha256_compress_plain(plain, bytes.data(), blocks);
        basics::sha256_compress_shani(fast, bytes.data(), blocks);
        for (int i = 0; i < 8; i++)
            EXPECT_EQ(fast[i], plain[i]) << blocks << " blocks, word " << i;
    }
}

}  // namespace
