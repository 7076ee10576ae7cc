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

// The first trak box of the movie box whose handler is `handler`.
int find_track(const uint8_t* moov, uint64_t len, const char* handler, BoxHeader* out)
{
    BoxHeader top, trak;
    if (!read_box_header_mem(moov, len, 0, &top) || !type_is(top.type, box_moov))
        return 0;
    for (uint64_t at = top.header_size; top.size - at >= 8; at += trak.size) {
        if (!read_box_header_mem(moov, top.size, at, &trak))
            return 0;
        char kind[5] = {0};
        if (type_is(trak.type, box_trak) && read_track_handler(moov, len, &trak, kind) && type_is(kind, handler)) {
            *out = trak;
            return 1;
        }
    }
    return 0;
}

int find_track_table(const uint8_t* moov, uint64_t len, const char* handler, const char* table, BoxHeader* out)
{
    BoxHeader trak, mdia, minf, stbl;
    return find_track(moov, len, handler, &trak) && child_of(moov, len, &trak, box_mdia, &mdia) &&
           child_of(moov, len, &mdia, box_minf, &minf) && child_of(moov, len, &minf, box_stbl, &stbl) &&
           child_of(moov, len, &stbl, table, out);
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

int find_composition_offsets(const uint8_t* moov, uint64_t len, const char* handler, CompositionOffsets* out)
{
    BoxHeader ctts;
    uint64_t body;
    if (!find_track_table(moov, len, handler, box_ctts, &ctts) || !full_box_body(len, &ctts, 4, &body))
        return 0;
    uint32_t entries = basics::load_be32(moov + body);
    if (entries == 0 || (ctts.size - ctts.header_size - 8) / 8 < entries)
        return 0;
    *out = CompositionOffsets{moov + body + 4, entries, moov[body - 4], 0, 0};
    return 1;
}

int64_t composition_offset_at(CompositionOffsets* c, uint64_t index)
{
    if (index < c->run_first)
        c->run = 0, c->run_first = 0;
    for (; c->run < c->entries; c->run++) {
        uint32_t count = basics::load_be32(c->runs + 8 * uint64_t(c->run));
        if (index - c->run_first < count) {
            uint32_t offset = basics::load_be32(c->runs + 8 * uint64_t(c->run) + 4);
            return c->version ? int64_t(int32_t(offset)) : int64_t(offset);
        }
        c->run_first += count;
    }
    return 0;
}

int first_edit_media_time(const uint8_t* moov, uint64_t len, const char* handler, int64_t* media_time)
{
    BoxHeader trak, edts, elst;
    uint64_t body;
    if (!find_track(moov, len, handler, &trak) || !child_of(moov, len, &trak, box_edts, &edts) ||
        !child_of(moov, len, &edts, box_elst, &elst) || !full_box_body(len, &elst, 4, &body))
        return 0;
    uint32_t version = moov[body - 4], entries = basics::load_be32(moov + body);
    uint64_t entry = version ? 20 : 12;
    if (entries == 0 || elst.size - elst.header_size - 8 < entry)
        return 0;
    const uint8_t* first = moov + body + 4;
    *media_time = version ? int64_t(basics::load_be64(first + 8)) : int64_t(int32_t(basics::load_be32(first + 4)));
    return 1;
}

}  // namespace mp4
