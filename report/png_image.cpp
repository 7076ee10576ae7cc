#include "report/png_image.h"

#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"

namespace report {

namespace {

constexpr size_t stored_block_max = 65535;  // a stored deflate block's length field is 16 bits

void put_be32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// One chunk: length, type, data, CRC of type and data.
uint8_t* put_chunk(uint8_t* at, const char* type, const uint8_t* data, size_t n)
{
    put_be32(at, uint32_t(n));
    std::memcpy(at + 4, type, 4);
    if (n)
        std::memcpy(at + 8, data, n);
    put_be32(at + 8 + n, crc32(at + 4, n + 4));
    return at + 12 + n;
}

}  // namespace

uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc)
{
    static uint32_t table[256];
    static int made = 0;
    if (!made) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        made = 1;
    }
    crc = ~crc;
    for (size_t i = 0; i < n; i++)
        crc = table[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

uint32_t adler32(const uint8_t* bytes, size_t n)
{
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + bytes[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

uint8_t* encode_png(const uint8_t* rgb, uint32_t width, uint32_t height, size_t* size)
{
    *size = 0;
    if (width == 0 || height == 0 || width > 16384 || height > 16384)
        return nullptr;
    // each row starts with filter type 0: the bytes as they are
    size_t row = size_t(width) * 3 + 1;
    size_t raw_len = row * height;
    uint8_t* raw = static_cast<uint8_t*>(basics::xmalloc(raw_len));
    for (uint32_t y = 0; y < height; y++) {
        raw[y * row] = 0;
        std::memcpy(raw + y * row + 1, rgb + size_t(y) * width * 3, row - 1);
    }
    size_t blocks = (raw_len + stored_block_max - 1) / stored_block_max;
    size_t zlib_len = 2 + blocks * 5 + raw_len + 4;
    uint8_t* zlib = static_cast<uint8_t*>(basics::xmalloc(zlib_len));
    zlib[0] = 0x78;  // deflate, 32 KiB window
    zlib[1] = 0x01;  // no preset dictionary; 0x7801 is a multiple of 31
    uint8_t* z = zlib + 2;
    for (size_t done = 0; done < raw_len;) {
        size_t n = raw_len - done < stored_block_max ? raw_len - done : stored_block_max;
        z[0] = done + n == raw_len ? 1 : 0;  // the last block says so
        z[1] = uint8_t(n);
        z[2] = uint8_t(n >> 8);
        z[3] = uint8_t(~n);
        z[4] = uint8_t(~n >> 8);
        std::memcpy(z + 5, raw + done, n);
        z += 5 + n;
        done += n;
    }
    put_be32(z, adler32(raw, raw_len));

    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    uint8_t header[13];
    put_be32(header, width);
    put_be32(header + 4, height);
    header[8] = 8;   // bits per channel
    header[9] = 2;   // truecolour
    header[10] = 0;  // deflate
    header[11] = 0;  // adaptive filtering
    header[12] = 0;  // no interlace
    size_t total = 8 + (12 + 13) + (12 + zlib_len) + 12;
    uint8_t* png = static_cast<uint8_t*>(basics::xmalloc(total));
    std::memcpy(png, signature, 8);
    uint8_t* at = put_chunk(png + 8, "IHDR", header, 13);
    at = put_chunk(at, "IDAT", zlib, zlib_len);
    put_chunk(at, "IEND", nullptr, 0);
    std::free(raw);
    std::free(zlib);
    *size = total;
    return png;
}

}  // namespace report
