#include "salvage/tail_layout.h"

#include "analysis/chunk_locate.h"
#include "salvage/damaged_chunk.h"
#include "salvage/layout_join.h"
#include "salvage/run_witness.h"

namespace salvage {

void settle_tail_by_layout(MoviePlanner* p, uint64_t k)
{
    uint64_t x = 0, checked = 0;
    JoinAnchor next{0, 0};
    int intact = 0;
    mp4::SampleSizes sizes;
    if (!p->claims || !tail_edge(p, k, &x, &next, &intact, &checked) || !intact ||
        !analysis::chunk_samples(p->video, k, &sizes))
        return;
    const analysis::RecoveryClip* clip = p->clip;
    JoinWindow window{p->claims, clip->clip_number, clip->run ? clip->run->tag : 0};
    uint64_t at = p->found_at[k], f = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    uint64_t edge = at + x, other = 0;
    if (layout_puts_run(p->geometry, p->image_size, &window, edge, f + x, edge, next))
        return;  // the run goes on: the chunk is whole where it was found
    uint64_t c = first_cluster_left(p->geometry, p->image_size, &window, edge);
    if (c != UINT64_MAX && c <= p->image_size && p->image_size - c >= size - x &&
        !first_foreign(p->claims, c, c + (size - x), window.clip, window.tag, &other) &&
        layout_puts_run(p->geometry, p->image_size, &window, edge, f + x, c, next)) {
        ChunkPlace place{at, x, c};
        uint64_t last = mp4::sample_size_at(&sizes, sizes.count - 1);
        analysis::grow_read_buffer(&analysis::direct_read_buffer, last);
        if (read_placed(p->image, &place, size - last, analysis::direct_read_buffer.data, last) &&
            sample_intact(analysis::direct_read_buffer.data, last, codec::syntax_of(p->video->format))) {
            p->cut[k] = place;
            p->joins++;
            return;
        }
    }
    // the payload behind the edge is placed by nothing yet
    p->found[k] = 0;
    p->cut[k] = ChunkPlace{at, 0, 0};
    p->open_tail[k] = x;
    p->on_card[k] = sizes.count - 1;
    p->end_seen[k] = 0;
}

uint64_t joined_tail_open(const MoviePlanner* p, uint64_t k, const ChunkPlace* place)
{
    uint64_t x = 0, checked = 0;
    JoinAnchor next{0, 0};
    int intact = 0;
    if (!p->claims || !place->cut || !placed_tail_edge(p, k, place, &x, &next, &intact, &checked))
        return 0;
    const analysis::RecoveryClip* clip = p->clip;
    JoinWindow window{p->claims, clip->clip_number, clip->run ? clip->run->tag : 0};
    uint64_t edge = place_offset(place, x), cut = p->video->chunk_offsets[k] + x;
    if (intact && layout_puts_run(p->geometry, p->image_size, &window, edge, cut, edge, next))
        return 0;  // the run goes on: the chunk is whole where it was joined
    return x;
}

}  // namespace salvage
