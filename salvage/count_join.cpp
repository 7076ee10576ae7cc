#include "salvage/count_join.h"

#include <algorithm>
#include <cstdlib>

#include "analysis/analysis_types.h"
#include "basics/checked_alloc.h"
#include "codec/nal_units.h"
#include "rebuild/validation_pass.h"
#include "salvage/cluster_count.h"
#include "salvage/damaged_chunk.h"
#include "salvage/layout_join.h"
#include "salvage/sample_heads.h"

namespace salvage {

namespace {

void add_piece(OwnPieces* own, const MoviePlanner* p, uint64_t file, uint64_t at, uint64_t size)
{
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    if (size == 0 || at > UINT64_MAX - size)
        return;
    basics::list_append(&own->spans, ClaimedSpan{at, at + size, clip, tag, 0, file});
    basics::list_append(&own->points, JoinAnchor{file, at});
    if (size > 1)
        basics::list_append(&own->points, JoinAnchor{file + size - 1, at + size - 1});
}

// Each sample of chunk k whose head shows it in exactly one cluster from lo's to hi's that no other
// recording's piece holds: that cluster holds its head, a located piece of the recording (added to
// `own`, and to the planner's sure pieces for the others to count by).
void own_sample_heads(MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, JoinAnchor lo, JoinAnchor hi,
                      OwnPieces* own)
{
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    basics::Growable<ClaimedSpan, 16> heads{};
    find_sample_heads(p->image, p->image_size, p->geometry, p->claims, clip, tag, lo.image, hi.image,
                      p->video->chunk_offsets[k], sizes, codec::syntax_of(p->video->format), count_clusters_max, &heads);
    for (uint64_t i = 0; i < heads.count; i++) {
        basics::list_append(&own->spans, heads.items[i]);
        basics::list_append(&p->sure, heads.items[i]);
    }
    basics::list_free(&heads);
}

}  // namespace

void gather_own_pieces(const MoviePlanner* p, OwnPieces* own)
{
    const analysis::ClipHeader* h = p->clip->header;
    add_piece(own, p, 0, h->header_offset, h->mdat_offset - h->header_offset);
    for (uint64_t i = 0; i < p->kkad.count; i++)
        add_piece(own, p, p->kkad.items[i].file, p->kkad.items[i].image, 1);
    JoinAnchor movie;
    if (movie_anchor(p, &movie))
        add_piece(own, p, movie.file, movie.image, 1);
    for (uint64_t k = 0; k < p->chunks; k++) {
        if (p->on_card[k] == 0 && !p->found[k])
            continue;
        // each run of the chunk's verified bytes
        uint64_t bytes = p->found[k] ? p->video->chunk_sizes[k]
                         : p->open_tail[k] ? p->open_tail[k] : leading_bytes(p->video, k, p->on_card[k]);
        ChunkPlace place = video_place(p, k);
        for (uint64_t from = 0, end; from < bytes; from = end) {
            end = place_run_end(&place, from, bytes);
            add_piece(own, p, p->video->chunk_offsets[k] + from, place_offset(&place, from), end - from);
        }
    }
    sort_anchors(&own->points);
}

void free_own_pieces(OwnPieces* own)
{
    basics::list_free(&own->spans);
    basics::list_free(&own->points);
}

void chunk_own_pieces(MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, OwnPieces* own)
{
    uint64_t f = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    gather_own_pieces(p, own);
    const JoinAnchor* lo = f ? anchor_upto(&own->points, f - 1) : nullptr;
    const JoinAnchor* hi = anchor_from(&own->points, f + size);
    if (p->claims && lo && hi)
        own_sample_heads(p, k, sizes, *lo, *hi, own);
}

int stretch_for_chunk(const MoviePlanner* p, uint64_t k, const OwnPieces* own, CountedStretch* out)
{
    uint64_t f = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    const JoinAnchor* lo = f ? anchor_upto(&own->points, f - 1) : nullptr;
    const JoinAnchor* hi = anchor_from(&own->points, f + size);
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    return p->claims && lo && hi &&
           count_prepare(p->geometry, p->claims, clip, tag, own->spans.items, own->spans.count, *lo, *hi, out);
}

int place_by_count(const MoviePlanner* p, const OwnPieces* own, uint64_t file, uint64_t size, ChunkPlace* out)
{
    const JoinAnchor* lo = file ? anchor_upto(&own->points, file - 1) : nullptr;
    const JoinAnchor* hi = anchor_from(&own->points, file + size);
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    return lo && hi &&
           count_place(p->geometry, p->claims, clip, tag, own->spans.items, own->spans.count, *lo, *hi, file, size,
                       out);
}

int chunk_walks_at(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const ChunkPlace* place,
                   const uint8_t* entry, uint32_t entry_size)
{
    uint64_t size = p->video->chunk_sizes[k];
    auto* bytes = static_cast<uint8_t*>(basics::xmalloc(size));
    int intact = read_placed(p->image, place, 0, bytes, size) &&
                 samples_intact(bytes, size, sizes, codec::syntax_of(p->video->format));
    intact = intact && (!entry || rebuild::samples_decode_cleanly(entry, entry_size, bytes, sizes));
    std::free(bytes);
    return intact;
}

int video_by_count(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const OwnPieces* own,
                   ChunkPlace* out)
{
    uint64_t f = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    ChunkPlace place;
    if (!p->claims || size == 0 || size > analysis::max_sample_bytes || !place_by_count(p, own, f, size, &place))
        return 0;
    // the count places the bytes; their samples must walk there as the camera wrote them
    int intact = chunk_walks_at(p, k, sizes, &place);
    if (intact)
        *out = place;
    return intact;
}

}  // namespace salvage
