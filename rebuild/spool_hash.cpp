#include "rebuild/spool_hash.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace rebuild {

namespace {

constexpr uint64_t block_bytes = 4096;
// A kkad box is a few hundred bytes; a "kkad" met inside video data names no sensible size.
constexpr uint64_t largest_box = 1 << 20;
const uint8_t zero_block[block_bytes] = {};

int all_zero(const uint8_t* bytes, size_t n)
{
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word)
            return 0;
    }
    for (; i < n; i++)
        if (bytes[i])
            return 0;
    return 1;
}

// `n` zero bytes appended to `file` and taken into `hash`; 0 when the write failed.
int write_zeros(basics::Sha256* hash, std::FILE* file, uint64_t n)
{
    while (n) {
        size_t piece = n < block_bytes ? static_cast<size_t>(n) : static_cast<size_t>(block_bytes);
        if (std::fwrite(zero_block, 1, piece, file) != piece)
            return 0;
        basics::sha256_add(hash, zero_block, piece);
        n -= piece;
    }
    return 1;
}

// The kkad boxes that start before file offset `until`, taken from the index's new hits.
void take_boxes(SpoolHash* h, uint64_t until, const image::ScanIndex* index, const image::ScanRing* ring)
{
    const image::OffsetList* hits = &index->kkad_hits;
    for (; h->next_hit < hits->count; h->next_hit++) {
        uint64_t hit = hits->items[h->next_hit];
        if (hit < h->header + 4)
            continue;
        uint64_t from = hit - 4 - h->header;
        if (from >= until)
            break;
        uint8_t size_field[4];
        if (!image::scan_ring_copy(ring, hit - 4, size_field, 4)) {
            h->usable = 0;
            continue;
        }
        uint64_t size = basics::load_be32(size_field);
        if (size < 8 || size > largest_box)
            continue;
        if (from < h->taken) {  // its bytes went into the hash as they are
            h->usable = 0;
            continue;
        }
        // a "kkad" inside a box already taken is that box's business
        if (h->boxes.count && from < h->boxes.items[h->boxes.count - 1].to)
            continue;
        basics::list_append(&h->boxes, FileRange{from, from + size});
    }
}

constexpr BlockSpan no_span = {UINT16_MAX, 0};

// Widens the spans of the blocks file bytes [at, at + n) lie in by where those bytes are not zero.
void note_nonzero(SpoolHash* h, uint64_t at, const uint8_t* bytes, size_t n)
{
    uint64_t end = at + n;
    for (uint64_t pos = at; pos < end;) {
        uint64_t block = pos / block_bytes;
        uint64_t block_end = std::min(end, (block + 1) * block_bytes);
        const uint8_t* b = bytes + (pos - at);
        size_t len = static_cast<size_t>(block_end - pos), first = 0, last = len;
        for (uint64_t word = 0; first + 8 <= len && (std::memcpy(&word, b + first, 8), word == 0);)
            first += 8;
        while (first < len && !b[first])
            first++;
        if (block < h->blocks && first < len) {
            while (!b[last - 1])
                last--;
            BlockSpan* span = &h->nonzero[block];
            uint64_t base = block * block_bytes;
            span->first = uint16_t(std::min<uint64_t>(span->first, pos + first - base));
            span->last = uint16_t(std::max<uint64_t>(span->last, pos + last - 1 - base));
        }
        pos = block_end;
    }
}

// 1 when the block's bytes [from, to) (file offsets inside it) were zero outside the boxes.
int span_clear(const SpoolHash* h, uint64_t block, uint64_t from, uint64_t to)
{
    if (block >= h->blocks)
        return 0;
    const BlockSpan span = h->nonzero[block];
    uint64_t base = block * block_bytes;
    return span.first > span.last || to - base <= span.first || from - base > span.last;
}

// 1 when the unkept bytes [from, to) of `f` are zero wherever no box lies; *box is the first box
// that may reach them and moves on with the calls, which come in ascending order.
int gap_is_zero(const SpoolHash* h, std::FILE* f, uint64_t from, uint64_t to, size_t* box)
{
    uint8_t bytes[block_bytes];
    for (uint64_t pos = from; pos < to;) {
        uint64_t block = pos / block_bytes;
        uint64_t piece_end = std::min(to, (block + 1) * block_bytes);
        if (block >= h->blocks)
            return 0;
        if (!span_clear(h, block, pos, piece_end)) {
            size_t n = static_cast<size_t>(piece_end - pos), got = 0;
            unsigned long error_code = 0;
            if (!platform::read_positioned(f, pos, bytes, n, &got, &error_code) || got != n)
                return 0;
            for (uint64_t at = pos; at < piece_end;) {
                while (*box < h->boxes.count && h->boxes.items[*box].to <= at)
                    ++*box;
                const FileRange* b = *box < h->boxes.count ? &h->boxes.items[*box] : nullptr;
                if (b && b->from <= at) {  // the hash took a box's bytes as zeros
                    at = std::min(piece_end, b->to);
                    continue;
                }
                uint64_t run_end = b ? std::min(piece_end, b->from) : piece_end;
                if (!all_zero(bytes + (at - pos), static_cast<size_t>(run_end - at)))
                    return 0;
                at = run_end;
            }
        }
        pos = piece_end;
    }
    return 1;
}

}  // namespace

void spool_hash_begin(SpoolHash* h, uint64_t header, uint64_t length, const image::ScanIndex* index)
{
    *h = SpoolHash{};
    basics::sha256_begin(&h->hash);
    h->usable = 1;
    h->header = header;
    h->blocks = length / block_bytes + 1;
    h->nonzero = static_cast<BlockSpan*>(basics::xmalloc(static_cast<size_t>(h->blocks) * sizeof(BlockSpan)));
    std::fill(h->nonzero, h->nonzero + h->blocks, no_span);
    const image::OffsetList* hits = &index->kkad_hits;
    h->next_hit = static_cast<size_t>(std::lower_bound(hits->items, hits->items + hits->count, header) - hits->items);
}

void spool_hash_free(SpoolHash* h)
{
    basics::list_free(&h->boxes);
    std::free(h->nonzero);
    h->nonzero = nullptr;
    h->usable = 0;
}

void spool_hash_take(SpoolHash* h, uint64_t n, const image::ScanIndex* index, const image::ScanRing* ring,
                     std::vector<FileRange>* over)
{
    over->clear();
    uint64_t end = h->taken + n;
    take_boxes(h, end, index, ring);
    while (h->first_open < h->boxes.count && h->boxes.items[h->first_open].to <= h->taken)
        h->first_open++;
    for (size_t b = h->first_open; b < h->boxes.count && h->boxes.items[b].from < end; b++)
        over->push_back(h->boxes.items[b]);
    h->taken = end;
}

int spool_hash_write(SpoolHash* h, std::FILE* file, const uint8_t* bytes, size_t n, const std::vector<FileRange>& over)
{
    uint64_t at = h->hash.length, end = at + n;
    size_t next = 0;
    for (uint64_t pos = at; pos < end;) {
        while (next < over.size() && over[next].to <= pos)
            next++;
        const FileRange* box = next < over.size() ? &over[next] : nullptr;
        if (box && box->from <= pos) {
            uint64_t stop = std::min(end, box->to);
            if (!write_zeros(&h->hash, file, stop - pos))
                return 0;
            pos = stop;
        } else {
            uint64_t stop = box ? std::min(end, box->from) : end;
            const uint8_t* piece = bytes + (pos - at);
            size_t length = static_cast<size_t>(stop - pos);
            if (std::fwrite(piece, 1, length, file) != length)
                return 0;
            note_nonzero(h, pos, piece, length);
            basics::sha256_add(&h->hash, piece, length);
            pos = stop;
        }
    }
    return 1;
}

int spool_hash_holds(const SpoolHash* h, const FileRange* kept, size_t kept_count, std::FILE* f)
{
    // the blocks are read past the stream's buffer
    if (!h->usable || h->taken != h->hash.length || std::fflush(f) != 0)
        return 0;
    uint64_t length = h->hash.length;
    // no kept byte lies in a box the hash zeroed
    for (size_t k = 0, b = 0; k < kept_count; k++) {
        while (b < h->boxes.count && h->boxes.items[b].to <= kept[k].from)
            b++;
        if (b < h->boxes.count && h->boxes.items[b].from < kept[k].to && h->boxes.items[b].from < length)
            return 0;
    }
    // every byte the writer zeroes that the hash did not is zero already
    size_t box = 0;
    uint64_t at = 0;
    for (size_t k = 0; k <= kept_count; k++) {
        uint64_t gap_end = k < kept_count ? std::min(kept[k].from, length) : length;
        if (at < gap_end && !gap_is_zero(h, f, at, gap_end, &box))
            return 0;
        if (k < kept_count)
            at = std::max(at, kept[k].to);
    }
    return 1;
}

int spool_hash_box_within(const SpoolHash* h, uint64_t from, uint64_t to)
{
    const FileRange* first = h->boxes.items;
    const FileRange* end = first + h->boxes.count;
    const FileRange* b = std::lower_bound(first, end, from,
                                          [](const FileRange& r, uint64_t at) { return r.to <= at; });
    return b < end && b->from < to;
}

int spool_hash_zero_but_boxes(const SpoolHash* h, uint64_t from, uint64_t to)
{
    if (to > h->hash.length)
        return 0;
    for (uint64_t pos = from; pos < to;) {
        uint64_t block = pos / block_bytes, piece_end = std::min(to, (block + 1) * block_bytes);
        if (!span_clear(h, block, pos, piece_end))
            return 0;
        pos = piece_end;
    }
    return 1;
}

}  // namespace rebuild
