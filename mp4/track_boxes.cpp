#include "mp4/track_boxes.h"

#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"

namespace mp4 {

namespace {

int child_of(const uint8_t* buf, uint64_t len, const BoxHeader* parent, const char* type, BoxHeader* out)
{
    return find_child_box(buf, len, parent->offset + parent->header_size, parent->offset + parent->size, type, out);
}

// Payload of a full box read whole from the buffer: the bytes after version and flags.
int full_box_body(uint64_t len, const BoxHeader* box, uint64_t need, uint64_t* begin)
{
    if (box->offset > len || box->size > len - box->offset || box->size - box->header_size < 4 + need)
        return 0;
    *begin = box->offset + box->header_size + 4;
    return 1;
}

}  // namespace

int find_track_table(const uint8_t* moov, uint64_t len, const char* handler, const char* table, BoxHeader* out)
{
    BoxHeader top, trak;
    if (!read_box_header_mem(moov, len, 0, &top) || !type_is(top.type, box_moov))
        return 0;
    for (uint64_t at = top.header_size; top.size - at >= 8; at += trak.size) {
        if (!read_box_header_mem(moov, top.size, at, &trak))
            return 0;
        char kind[5] = {0};
        if (!type_is(trak.type, box_trak) || !read_track_handler(moov, len, &trak, kind) || !type_is(kind, handler))
            continue;
        BoxHeader mdia, minf, stbl;
        return child_of(moov, len, &trak, box_mdia, &mdia) && child_of(moov, len, &mdia, box_minf, &minf) &&
               child_of(moov, len, &minf, box_stbl, &stbl) && child_of(moov, len, &stbl, table, out);
    }
    return 0;
}

int find_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, BoxHeader* out)
{
    BoxHeader stsd;
    uint64_t body;
    return find_track_table(moov, len, handler, box_stsd, &stsd) && full_box_body(len, &stsd, 4, &body) &&
           basics::load_be32(moov + body) != 0 && read_box_header_mem(moov, stsd.offset + stsd.size, body + 4, out) &&
           out->header_size == 8;
}

int copy_sample_entry(const uint8_t* moov, uint64_t len, const char* handler, uint8_t** entry, uint32_t* size)
{
    BoxHeader first;
    if (!find_sample_entry(moov, len, handler, &first))
        return 0;
    *entry = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(first.size)));
    std::memcpy(*entry, moov + first.offset, static_cast<size_t>(first.size));
    *size = static_cast<uint32_t>(first.size);
    return 1;
}

int constant_sample_delta(const uint8_t* moov, uint64_t len, const char* handler, uint32_t* delta)
{
    BoxHeader stts;
    uint64_t body;
    if (!find_track_table(moov, len, handler, box_stts, &stts) || !full_box_body(len, &stts, 12, &body))
        return 0;
    uint32_t entries = basics::load_be32(moov + body);
    if (entries == 0 || (stts.size - stts.header_size - 8) / 8 < entries)
        return 0;
    uint32_t first = basics::load_be32(moov + body + 8);
    for (uint32_t i = 1; i < entries; i++)
        if (basics::load_be32(moov + body + 4 + 8 * i + 4) != first)
            return 0;
    *delta = first;
    return first != 0;
}

}  // namespace mp4
