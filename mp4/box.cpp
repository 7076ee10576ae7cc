#include "mp4/box.h"

#include "basics/byte_order.h"
#include "image/read_at.h"

namespace mp4 {

namespace {

// The header rules shared by both readers. `bytes` holds `have` bytes read at the box start
// (8 or 16); `remaining` is what is left from the box start to the end of its range.
int decode_header(const uint8_t* bytes, uint64_t have, uint64_t remaining, uint64_t offset, BoxHeader* out)
{
    if (remaining < 8 || have < 8)
        return 0;
    uint32_t size32 = basics::load_be32(bytes);
    uint64_t size = size32;
    uint64_t header_size = 8;
    if (size32 == 1) {
        if (remaining < 16 || have < 16)
            return 0;
        size = basics::load_be64(bytes + 8);
        header_size = 16;
    } else if (size32 == 0) {
        size = remaining;
    }
    if (size < header_size || size > remaining)
        return 0;
    out->offset = offset;
    out->size = size;
    out->header_size = header_size;
    std::memcpy(out->type, bytes + 4, 4);
    out->type[4] = '\0';
    return 1;
}

}  // namespace

int read_box_header_mem(const uint8_t* buf, uint64_t len, uint64_t offset, BoxHeader* out)
{
    if (offset > len || len - offset < 8)
        return 0;
    uint64_t remaining = len - offset;
    return decode_header(buf + offset, remaining < 16 ? remaining : 16, remaining, offset, out);
}

int read_box_header_file(std::FILE* image, uint64_t offset, uint64_t range_end, BoxHeader* out)
{
    if (offset > range_end || range_end - offset < 8)
        return 0;
    uint8_t bytes[16];
    uint64_t have = 16;
    if (!image::read_at(image, offset, bytes, 16)) {
        // a box within 16 bytes of the end of the file still has its 8-byte header
        if (!image::read_at(image, offset, bytes, 8))
            return 0;
        have = 8;
    }
    return decode_header(bytes, have, range_end - offset, offset, out);
}

int find_child_box(const uint8_t* buf, uint64_t len, uint64_t begin, uint64_t end, const char* wanted,
                   BoxHeader* out)
{
    uint64_t limit = end < len ? end : len;
    if (begin > limit || limit - begin < 8)
        return 0;
    uint64_t pos = begin;
    for (;;) {
        BoxHeader box;
        if (!read_box_header_mem(buf, limit, pos, &box))
            return 0;
        if (type_is(box.type, wanted)) {
            *out = box;
            return 1;
        }
        pos += box.size;
        if (limit - pos < 8)
            return 0;
    }
}

int read_track_handler(const uint8_t* buf, uint64_t len, const BoxHeader* trak, char* handler)
{
    BoxHeader mdia, hdlr;
    if (!find_child_box(buf, len, trak->offset + trak->header_size, trak->offset + trak->size, box_mdia, &mdia))
        return 0;
    if (!find_child_box(buf, len, mdia.offset + mdia.header_size, mdia.offset + mdia.size, box_hdlr, &hdlr))
        return 0;
    if (hdlr.offset > len || hdlr.size > len - hdlr.offset || hdlr.size - hdlr.header_size < 12)
        return 0;
    std::memcpy(handler, buf + hdlr.offset + hdlr.header_size + 8, 4);
    handler[4] = '\0';
    return 1;
}

}  // namespace mp4
