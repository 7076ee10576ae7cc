#include "mp4/sample_tables.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"

namespace mp4 {

using basics::load_be32;
using basics::load_be64;

namespace {


// Payload bounds of a child box that must end inside the buffer.
int payload_of(uint64_t len, const BoxHeader* box, uint64_t need, uint64_t* begin, uint64_t* size)
{
    if (box->offset > len || box->size > len - box->offset)
        return 0;
    uint64_t payload = box->size - box->header_size;
    if (payload < need)
        return 0;
    *begin = box->offset + box->header_size;
    *size = payload;
    return 1;
}

int find_in(const uint8_t* buf, uint64_t len, const BoxHeader* parent, const char* type, BoxHeader* out)
{
    return find_child_box(buf, len, parent->offset + parent->header_size, parent->offset + parent->size, type, out);
}

void read_media_header(const uint8_t* buf, uint64_t len, const BoxHeader* mdia, TrackTables* out)
{
    BoxHeader box;
    uint64_t p, n;
    if (find_in(buf, len, mdia, box_mdhd, &box) && payload_of(len, &box, 4, &p, &n)) {
        if (buf[p] == 1) {
            if (n >= 32) {
                out->timescale = load_be32(buf + p + 20);
                out->duration = load_be64(buf + p + 24);
            }
        } else if (n >= 20) {
            out->timescale = load_be32(buf + p + 12);
            out->duration = load_be32(buf + p + 16);
        }
    }
}

int read_sample_sizes(const uint8_t* buf, uint64_t len, const BoxHeader* stsz, TrackTables* out)
{
    uint64_t p, n;
    if (!payload_of(len, stsz, 12, &p, &n))
        return 0;
    uint32_t fixed = load_be32(buf + p + 4);
    uint64_t count = load_be32(buf + p + 8);
    out->sample_count = count;
    if (fixed) {
        // one number stands for every sample, however many there are
        out->fixed_sample_size = fixed;
        return 1;
    }
    if (count > max_samples || n < 12 + 4 * count)
        return 0;
    out->sample_sizes = static_cast<uint32_t*>(basics::xmalloc(count * sizeof(uint32_t)));
    for (uint64_t i = 0; i < count; i++)
        out->sample_sizes[i] = load_be32(buf + p + 12 + 4 * i);
    return 1;
}

// The chunk numbers [first, end) an entry covers, cut to the track's chunks; 0 when it covers none.
int entry_range(const uint8_t* entries, uint64_t entry_count, uint64_t e, uint64_t chunk_count, uint64_t* first,
                uint64_t* end)
{
    *first = load_be32(entries + 12 * e);
    *end = e + 1 < entry_count ? load_be32(entries + 12 * (e + 1)) : chunk_count + 1;
    if (*end > chunk_count + 1)
        *end = chunk_count + 1;
    return *first < *end;
}

// Follows the skip links from chunk c to the first chunk at or after it that no later entry
// has filled, shortening the path on the way.
uint64_t next_unfilled(uint32_t* skip, uint64_t c)
{
    while (skip[c] != c) {
        skip[c] = skip[skip[c]];
        c = skip[c];
    }
    return c;
}

// Spreads the sample-to-chunk entries over the chunks; 0 for an entry with first chunk 0. A later
// entry wins over the chunks an earlier one also covered, so the entries are walked from the last
// one back and each chunk is filled once: entries may reach back over the same chunks a million
// times, and the work stays entries + chunks.
int expand_sample_to_chunk(const uint8_t* entries, uint64_t entry_count, TrackTables* out)
{
    for (uint64_t e = 0; e < entry_count; e++) {
        if (load_be32(entries + 12 * e) == 0)
            return 0;
    }
    uint64_t chunks = out->chunk_count;
    out->chunk_sample_counts = static_cast<uint32_t*>(basics::xcalloc(chunks, sizeof(uint32_t)));
    // skip[c] leads to the first unfilled chunk from chunk number c on; chunks + 1 is the end
    auto* skip = static_cast<uint32_t*>(basics::xmalloc((chunks + 2) * sizeof(uint32_t)));
    for (uint64_t c = 0; c <= chunks + 1; c++)
        skip[c] = uint32_t(c);
    for (uint64_t e = entry_count; e-- > 0;) {
        uint64_t first, end;
        if (!entry_range(entries, entry_count, e, chunks, &first, &end))
            continue;
        uint32_t per_chunk = load_be32(entries + 12 * e + 4);
        for (uint64_t c = next_unfilled(skip, first); c < end; c = next_unfilled(skip, c)) {
            out->chunk_sample_counts[c - 1] = per_chunk;
            skip[c] = uint32_t(c + 1);
        }
    }
    std::free(skip);
    return 1;
}

int lay_out_chunks(TrackTables* out)
{
    out->chunk_first_sample = static_cast<uint64_t*>(basics::xmalloc(out->chunk_count * sizeof(uint64_t)));
    out->chunk_sizes = static_cast<uint64_t*>(basics::xmalloc(out->chunk_count * sizeof(uint64_t)));
    uint64_t next = 0;
    for (uint64_t c = 0; c < out->chunk_count; c++) {
        uint64_t first = next;
        out->chunk_first_sample[c] = first;
        next += out->chunk_sample_counts[c];
        if (next > out->sample_count)
            return 0;
        uint64_t bytes = uint64_t(out->chunk_sample_counts[c]) * out->fixed_sample_size;
        for (uint64_t s = first; out->sample_sizes && s < next; s++)
            bytes += out->sample_sizes[s];
        out->chunk_sizes[c] = bytes;
    }
    return next == out->sample_count;
}

int fail_track(TrackTables* out)
{
    free_track_tables(out);
    return 0;
}

// The type of the first sample entry of the stsd inside `stbl`, when the stsd lists one.
int read_sample_entry_type(const uint8_t* buf, uint64_t len, const BoxHeader* stbl, char* format,
                           SoundEntry* sound = nullptr)
{
    BoxHeader stsd;
    uint64_t p, n;
    if (!find_in(buf, len, stbl, box_stsd, &stsd) || !payload_of(len, &stsd, 16, &p, &n) || !load_be32(buf + p + 4))
        return 0;
    std::memcpy(format, buf + p + 12, 4);
    format[4] = '\0';
    uint64_t entry = load_be32(buf + p + 8);
    if (sound)
        read_sound_entry(buf + p + 8, entry >= 8 && entry <= n - 8 ? entry : 0, sound);
    return 1;
}

}  // namespace

int read_chunk_offsets(const uint8_t* buf, uint64_t len, const BoxHeader* box, TrackTables* out)
{
    uint64_t p, n;
    if (!payload_of(len, box, 8, &p, &n))
        return 0;
    uint64_t count = load_be32(buf + p + 4);
    if (count > max_chunks)
        return 0;
    int wide = type_is(box->type, box_co64);
    uint64_t entry = wide ? 8 : 4;
    if (n < 8 + count * entry)
        return 0;
    out->chunk_offsets = static_cast<uint64_t*>(basics::xmalloc(count * sizeof(uint64_t)));
    out->chunk_count = count;
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t* at = buf + p + 8 + entry * i;
        out->chunk_offsets[i] = wide ? load_be64(at) : load_be32(at);
    }
    return 1;
}

int read_track_format(const uint8_t* buf, uint64_t len, const BoxHeader* trak, char* format)
{
    BoxHeader mdia, minf, stbl;
    return find_in(buf, len, trak, box_mdia, &mdia) && find_in(buf, len, &mdia, box_minf, &minf) &&
           find_in(buf, len, &minf, box_stbl, &stbl) && read_sample_entry_type(buf, len, &stbl, format);
}

int parse_track(const uint8_t* buf, uint64_t len, const BoxHeader* trak, TrackTables* out)
{
    std::memset(out, 0, sizeof *out);
    BoxHeader mdia, minf, stbl, stsz, stsc, chunks;
    if (!find_in(buf, len, trak, box_mdia, &mdia))
        return 0;
    read_track_handler(buf, len, trak, out->handler);
    read_media_header(buf, len, &mdia, out);
    if (!find_in(buf, len, &mdia, box_minf, &minf) || !find_in(buf, len, &minf, box_stbl, &stbl))
        return 1;
    read_sample_entry_type(buf, len, &stbl, out->format, std::strcmp(out->handler, "soun") == 0 ? &out->sound : nullptr);
    if (!find_in(buf, len, &stbl, box_stsz, &stsz) || !find_in(buf, len, &stbl, box_stsc, &stsc))
        return 1;
    if (!find_in(buf, len, &stbl, box_co64, &chunks) && !find_in(buf, len, &stbl, box_stco, &chunks))
        return 1;
    if (!read_sample_sizes(buf, len, &stsz, out))
        return fail_track(out);
    uint64_t sc_begin, sc_size;
    if (!payload_of(len, &stsc, 8, &sc_begin, &sc_size))
        return fail_track(out);
    uint64_t entry_count = load_be32(buf + sc_begin + 4);
    if (entry_count > max_stsc_entries || sc_size < 8 + 12 * entry_count)
        return fail_track(out);
    if (!read_chunk_offsets(buf, len, &chunks, out))
        return fail_track(out);
    if (out->chunk_count == 0 || out->sample_count == 0 || entry_count == 0)
        return fail_track(out);
    if (!expand_sample_to_chunk(buf + sc_begin + 8, entry_count, out) || !lay_out_chunks(out))
        return fail_track(out);
    return 1;
}

int format_is_avc(const char* format)
{
    return std::strncmp(format, "avc1", 4) == 0 || std::strncmp(format, "avc3", 4) == 0;
}

int format_is_hevc(const char* format)
{
    return std::strncmp(format, "hvc1", 4) == 0 || std::strncmp(format, "hev1", 4) == 0;
}

int format_is_camera_sound(const char* format)
{
    static const char* const types[] = {"twos", "sowt", "lpcm", "mp4a"};
    for (const char* type : types) {
        if (std::memcmp(format, type, 4) == 0)
            return 1;
    }
    return 0;
}

void free_track_tables(TrackTables* t)
{
    std::free(t->sample_sizes);
    std::free(t->chunk_offsets);
    std::free(t->chunk_sample_counts);
    std::free(t->chunk_first_sample);
    std::free(t->chunk_sizes);
    std::memset(t, 0, sizeof *t);
}

}  // namespace mp4
