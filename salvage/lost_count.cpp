#include "salvage/lost_count.h"

#include "salvage/sample_heads.h"

#include <cstdlib>

#include "analysis/analysis_types.h"
#include "basics/checked_alloc.h"
#include "salvage/damaged_chunk.h"

namespace salvage {

namespace {

uint64_t total_of(const mp4::SampleSizes* sizes)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < sizes->count; i++)
        total += mp4::sample_size_at(sizes, i);
    return total;
}

// The recording's pieces nearest in front of bytes [file, file + size) and behind them.
int around(const LostPieces* own, uint64_t file, uint64_t size, JoinAnchor* lo, JoinAnchor* hi)
{
    const JoinAnchor* a = file ? anchor_upto(&own->points, file - 1) : nullptr;
    const JoinAnchor* b = anchor_from(&own->points, file + size);
    if (!a || !b)
        return 0;
    *lo = *a, *hi = *b;
    return 1;
}

}  // namespace

void add_lost_piece(LostPieces* own, uint64_t file, uint64_t at, uint64_t size)
{
    if (size == 0 || at > UINT64_MAX - size || file > UINT64_MAX - size)
        return;
    basics::list_append(&own->spans, ClaimedSpan{at, at + size, own->clip, own->tag, 0, file});
    basics::list_append(&own->points, JoinAnchor{file, at});
    if (size > 1)
        basics::list_append(&own->points, JoinAnchor{file + size - 1, at + size - 1});
    sort_anchors(&own->points);
}

void free_lost_pieces(LostPieces* own)
{
    basics::list_free(&own->spans);
    basics::list_free(&own->points);
}

void add_placed_chunks(LostPieces* own, const analysis::ClipHeader* header, const SalvageChunkList* chunks)
{
    add_lost_piece(own, 0, header->header_offset, header->mdat_offset - header->header_offset);
    for (size_t i = 0; i < chunks->count; i++) {
        const SalvageChunk* c = &chunks->items[i];
        uint64_t bytes = salvage_chunk_walked(c), head;
        const ChunkPlace place = salvage_chunk_place(c);
        for (uint64_t from = 0; c->file_known && from < bytes; from += head) {
            head = place_run_end(&place, from, bytes) - from;
            add_lost_piece(own, c->file_offset + from, place_offset(&place, from), head);
        }
    }
}

int lost_stretch(LostPieces* own, uint64_t file, const mp4::SampleSizes* sizes, codec::Syntax syntax,
                 basics::Growable<ClaimedSpan, 16>* noted, CountedStretch* out)
{
    JoinAnchor lo, hi;
    if (!own->claims || !own->geometry || !around(own, file, total_of(sizes), &lo, &hi))
        return 0;
    basics::Growable<ClaimedSpan, 16> heads{};
    find_sample_heads(own->image, own->image_size, own->geometry, own->claims, own->clip, own->tag, lo.image, hi.image,
                      file, sizes, syntax, count_clusters_max, &heads);
    for (uint64_t i = 0; i < heads.count; i++) {
        add_lost_piece(own, heads.items[i].file, heads.items[i].begin, heads.items[i].end - heads.items[i].begin);
        if (noted)
            basics::list_append(noted, heads.items[i]);
    }
    basics::list_free(&heads);
    return count_prepare(own->geometry, own->claims, own->clip, own->tag, own->spans.items, own->spans.count, lo, hi,
                         out);
}

int lost_place(const LostPieces* own, uint64_t file, const mp4::SampleSizes* sizes, codec::Syntax syntax,
               ChunkPlace* out)
{
    uint64_t size = total_of(sizes);
    JoinAnchor lo, hi;
    ChunkPlace place;
    if (!own->claims || !own->geometry || size == 0 || size > analysis::max_sample_bytes ||
        !around(own, file, size, &lo, &hi) ||
        !count_place(own->geometry, own->claims, own->clip, own->tag, own->spans.items, own->spans.count, lo, hi,
                     file, size, &place))
        return 0;
    // the count places the bytes; their samples must walk there as the camera wrote them
    auto* bytes = static_cast<uint8_t*>(basics::xmalloc(size));
    int intact = read_placed(own->image, &place, 0, bytes, size) && samples_intact(bytes, size, sizes, syntax);
    std::free(bytes);
    if (intact)
        *out = place;
    return intact;
}

int lost_place_last(const LostPieces* own, uint64_t file, uint64_t size, ChunkPlace* out)
{
    const JoinAnchor* lo = anchor_upto(&own->points, file);
    return own->claims && own->geometry && lo && size &&
           count_place_open(own->geometry, own->claims, own->clip, own->tag, own->spans.items, own->spans.count, *lo,
                            file, size, out);
}

}  // namespace salvage
