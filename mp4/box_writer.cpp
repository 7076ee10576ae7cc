#include "mp4/box_writer.h"

#include <cstring>

#include "basics/byte_order.h"

namespace mp4 {

void put_u8(BoxBytes* b, uint32_t v) { basics::list_append(b, uint8_t(v)); }

void put_be16(BoxBytes* b, uint32_t v)
{
    put_u8(b, v >> 8);
    put_u8(b, v);
}

void put_be32(BoxBytes* b, uint32_t v)
{
    put_be16(b, v >> 16);
    put_be16(b, v & 0xFFFF);
}

void put_be64(BoxBytes* b, uint64_t v)
{
    put_be32(b, uint32_t(v >> 32));
    put_be32(b, uint32_t(v));
}

void put_raw(BoxBytes* b, const void* bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
        put_u8(b, static_cast<const uint8_t*>(bytes)[i]);
}

void put_zeros(BoxBytes* b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        put_u8(b, 0);
}

size_t open_box(BoxBytes* b, const char* type)
{
    size_t at = b->count;
    put_be32(b, 0);
    put_raw(b, type, 4);
    return at;
}

size_t open_full_box(BoxBytes* b, const char* type, uint8_t version, uint32_t flags)
{
    size_t at = open_box(b, type);
    put_be32(b, (uint32_t(version) << 24) | flags);
    return at;
}

void close_box(BoxBytes* b, size_t at) { basics::store_be32(b->items + at, uint32_t(b->count - at)); }

size_t write_box_header(uint8_t* out, uint64_t size, const char* type, int wide)
{
    std::memcpy(out + 4, type, 4);
    if (!wide && size <= UINT32_MAX) {
        basics::store_be32(out, uint32_t(size));
        return 8;
    }
    basics::store_be32(out, 1);  // the size follows the type
    basics::store_be64(out + 8, size);
    return 16;
}

}  // namespace mp4
