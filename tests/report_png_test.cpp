#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "basics/byte_order.h"
#include "report/png_image.h"

namespace {

TEST(ReportPng, ChecksumsOfKnownInputs)
{
    const uint8_t* check = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(report::crc32(check, 9), 0xcbf43926u) << "CRC-32 check value";
    EXPECT_EQ(report::adler32(reinterpret_cast<const uint8_t*>("Wikipedia"), 9), 0x11e60398u);
    EXPECT_EQ(report::adler32(nullptr, 0), 1u) << "Adler-32 of nothing";
}

// Reads the PNG back as a viewer would: every chunk's CRC, the header, the stored blocks with
// their complements, the Adler-32, and the rows behind their filter bytes.
std::vector<uint8_t> decode_stored_png(const uint8_t* png, size_t size, uint32_t* w, uint32_t* h)
{
    std::vector<uint8_t> zlib;
    EXPECT_EQ(std::memcmp(png, "\x89PNG\r\n\x1a\n", 8), 0);
    for (size_t at = 8; at + 12 <= size;) {
        uint32_t n = basics::load_be32(png + at);
        EXPECT_EQ(report::crc32(png + at + 4, n + 4), basics::load_be32(png + at + 8 + n)) << "chunk CRC";
        if (std::memcmp(png + at + 4, "IHDR", 4) == 0) {
            *w = basics::load_be32(png + at + 8);
            *h = basics::load_be32(png + at + 12);
            EXPECT_EQ(png[at + 16], 8);
            EXPECT_EQ(png[at + 17], 2);
        } else if (std::memcmp(png + at + 4, "IDAT", 4) == 0) {
            zlib.insert(zlib.end(), png + at + 8, png + at + 8 + n);
        }
        at += 12 + n;
    }
    EXPECT_EQ((zlib[0] * 256 + zlib[1]) % 31, 0) << "zlib header check";
    std::vector<uint8_t> raw;
    size_t at = 2;
    for (int last = 0; !last;) {
        last = zlib[at] & 1;
        size_t n = zlib[at + 1] | zlib[at + 2] << 8;
        EXPECT_EQ(n ^ 0xffff, size_t(zlib[at + 3] | zlib[at + 4] << 8)) << "stored block length complement";
        raw.insert(raw.end(), zlib.begin() + long(at + 5), zlib.begin() + long(at + 5 + n));
        at += 5 + n;
    }
    EXPECT_EQ(report::adler32(raw.data(), raw.size()), basics::load_be32(zlib.data() + at));
    std::vector<uint8_t> rgb;
    size_t row = size_t(*w) * 3 + 1;
    for (uint32_t y = 0; y < *h; y++) {
        EXPECT_EQ(raw[y * row], 0) << "filter byte of row " << y;
        rgb.insert(rgb.end(), raw.begin() + long(y * row + 1), raw.begin() + long((y + 1) * row));
    }
    return rgb;
}

TEST(ReportPng, PicturesComeBackPixelForPixel)
{
    struct Case {
        const char* name;
        uint32_t w, h;
    } cases[] = {
        {"one pixel", 1, 1},
        {"a thumbnail", 160, 90},
        {"rows spanning several stored blocks", 300, 200},
        {"one byte more than a stored block holds", 5461, 4},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> rgb(size_t(c.w) * c.h * 3);
        for (size_t i = 0; i < rgb.size(); i++)
            rgb[i] = uint8_t(i * 7 + i / 3);
        size_t size = 0;
        uint8_t* png = report::encode_png(rgb.data(), c.w, c.h, &size);
        ASSERT_NE(png, nullptr) << c.name;
        uint32_t w = 0, h = 0;
        std::vector<uint8_t> back = decode_stored_png(png, size, &w, &h);
        EXPECT_EQ(w, c.w) << c.name;
        EXPECT_EQ(h, c.h) << c.name;
        EXPECT_TRUE(back == rgb) << c.name;
        std::free(png);
    }
    size_t size = 1;
    EXPECT_EQ(report::encode_png(nullptr, 0, 10, &size), nullptr) << "an empty picture";
    EXPECT_EQ(size, 0u);
}

}  // namespace
