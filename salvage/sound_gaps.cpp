#include "salvage/sound_gaps.h"

#include <bit>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "salvage/layout_join.h"

namespace salvage {

static_assert(sound_gap_edges_max == claim_edges_tried, "a gap keeps every edge a join tries");

namespace {

// The runs of the gap's recording when its cut lies at edge `e`: from lo to the edge's image
// place in lo's run, and from its place in hi's run to hi.
struct Runs {
    uint64_t a0, a1, b0, b1;
};

Runs runs_at(const SoundGap* g, uint64_t e)
{
    return Runs{g->lo_image, g->lo_image + (e - g->lo_file), g->hi_image - (g->hi_file - e), g->hi_image};
}

int overlap(uint64_t a0, uint64_t a1, uint64_t b0, uint64_t b1)
{
    return a0 < b1 && b0 < a1;
}

int runs_clash(const Runs& x, const Runs& y)
{
    return overlap(x.a0, x.a1, y.a0, y.a1) || overlap(x.a0, x.a1, y.b0, y.b1) || overlap(x.b0, x.b1, y.a0, y.a1) ||
           overlap(x.b0, x.b1, y.b0, y.b1);
}

int others(const SoundGap* g, const SoundGap* h)
{
    return g->clip != h->clip && (g->tag == 0 || g->tag != h->tag);
}

// 1 when another recording's piece holds a byte of [begin, end): located, or in the runs of a
// gap left with one edge.
int held_by_other(const ClaimList* claims, const SoundGap* gaps, const uint64_t* alive, uint64_t n, const SoundGap* g,
                  uint64_t begin, uint64_t end)
{
    uint64_t at;
    if (first_foreign(claims, begin, end, g->clip, g->tag, &at, 1))
        return 1;
    for (uint64_t h = 0; h < n; h++) {
        const SoundGap* o = &gaps[h];
        if (!others(g, o) || std::popcount(alive[h]) != 1)
            continue;
        Runs r = runs_at(o, o->edges[std::countr_zero(alive[h])]);
        if (overlap(begin, end, r.a0, r.a1) || overlap(begin, end, r.b0, r.b1))
            return 1;
    }
    return 0;
}

}  // namespace

void note_sound_gap(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                    uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                    SoundGapList* out)
{
    SoundGap g = {clip, tag, lo.file, lo.image, hi.file, hi.image, file, size, 0, {}};
    g.edge_count = edges_kept(geometry, image_size, lo, hi, file, size, claims, clip, tag, g.edges, sound_gap_edges_max);
    if (g.edge_count)
        basics::list_append(out, g);
}

void settle_sound_gaps(const image::ImageGeometry* geometry, ClaimList* claims)
{
    claims->settled.count = 0;
    uint64_t n = claims->gaps.count, cs = geometry ? geometry->cluster_bytes : 0;
    if (n == 0 || n > sound_gaps_max || cs == 0)
        return;
    const SoundGap* gaps = claims->gaps.items;
    auto* alive = static_cast<uint64_t*>(basics::xcalloc(n, sizeof(uint64_t)));
    for (uint64_t g = 0; g < n; g++) {
        alive[g] = gaps[g].edge_count >= 64 ? ~uint64_t(0) : (uint64_t(1) << gaps[g].edge_count) - 1;
        // the edges were kept by the pieces the last pass knew: runs that hold a piece this pass
        // located are not the recording's
        for (uint32_t k = 0; k < gaps[g].edge_count; k++) {
            Runs r = runs_at(&gaps[g], gaps[g].edges[k]);
            uint64_t at;
            if (first_foreign(claims, r.a0, r.a1, gaps[g].clip, gaps[g].tag, &at) ||
                first_foreign(claims, r.b0, r.b1, gaps[g].clip, gaps[g].tag, &at))
                alive[g] &= ~(uint64_t(1) << k);
        }
    }
    // an edge stays while every other recording's gap keeps an edge its runs leave free
    for (int changed = 1; changed;) {
        changed = 0;
        for (uint64_t g = 0; g < n; g++)
            for (uint32_t k = 0; k < gaps[g].edge_count; k++) {
                if (!(alive[g] >> k & 1))
                    continue;
                Runs mine = runs_at(&gaps[g], gaps[g].edges[k]);
                for (uint64_t h = 0; h < n; h++) {
                    if (!others(&gaps[g], &gaps[h]))
                        continue;
                    int free = 0;
                    for (uint32_t j = 0; j < gaps[h].edge_count && !free; j++)
                        free = (alive[h] >> j & 1) && !runs_clash(mine, runs_at(&gaps[h], gaps[h].edges[j]));
                    if (!free) {
                        alive[g] &= ~(uint64_t(1) << k);
                        changed = 1;
                        break;
                    }
                }
            }
    }
    int contradiction = 0;
    for (uint64_t g = 0; g < n; g++)
        contradiction |= alive[g] == 0;
    for (uint64_t g = 0; g < n && !contradiction; g++) {
        if (std::popcount(alive[g]) != 1)
            continue;
        const SoundGap* gap = &gaps[g];
        uint64_t e = gap->edges[std::countr_zero(alive[g])];
        Runs r = runs_at(gap, e);
        // another recording's piece ends the first run right at the edge and begins right before the second
        if (r.b0 < cs || !held_by_other(claims, gaps, alive, n, gap, r.a1, r.a1 + cs) ||
            !held_by_other(claims, gaps, alive, n, gap, r.b0 - cs, r.b0) ||
            !runs_proven(geometry, claims, gap->clip, gap->tag, JoinAnchor{gap->lo_file, gap->lo_image},
                         JoinAnchor{gap->hi_file, gap->hi_image}, e))
            continue;
        SoundGap settled = *gap;
        settled.edge_count = 1;
        settled.edges[0] = e;
        basics::list_append(&claims->settled, settled);
    }
    std::free(alive);
}

const SoundGap* settled_gap(const ClaimList* claims, uint32_t clip, uint64_t file, uint64_t size)
{
    for (uint64_t i = 0; claims && i < claims->settled.count; i++) {
        const SoundGap* g = &claims->settled.items[i];
        if (g->clip == clip && g->file == file && g->size == size)
            return g;
    }
    return nullptr;
}

}  // namespace salvage
