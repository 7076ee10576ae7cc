#include "salvage/runs_proven.h"

#include <algorithm>

namespace salvage {

namespace {

// Clusters of the card that bytes [begin, end) touch.
uint64_t clusters_touched(const image::ImageGeometry* g, uint64_t begin, uint64_t end)
{
    if (end <= begin || begin < g->heap_offset)
        return 0;
    return (end - 1 - g->heap_offset) / g->cluster_bytes - (begin - g->heap_offset) / g->cluster_bytes + 1;
}

}  // namespace

int runs_proven(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                JoinAnchor lo, JoinAnchor hi, uint64_t cut)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || cut < lo.file || hi.file < cut || hi.image < hi.file - cut ||
        lo.image > UINT64_MAX - (cut - lo.file))
        return 0;
    uint64_t head_end = lo.image + (cut - lo.file), tail = hi.image - (hi.file - cut);
    uint64_t need = std::max(clusters_touched(geometry, lo.image, head_end),
                             clusters_touched(geometry, tail, hi.image + 1));
    if (need <= 1)
        return 1;
    if (!claims)
        return 0;
    uint64_t reach = runs_window_clusters * cs, from = std::min(lo.image, hi.image), to = std::max(lo.image, hi.image);
    from = from > reach ? from - reach : 0;
    to = to < UINT64_MAX - reach ? to + reach : UINT64_MAX;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    const ClaimedSpan* c = std::lower_bound(first, stop, from > claims->longest ? from - claims->longest : 0,
                                            [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    auto located = [](const ClaimedSpan* x) { return x->clip != 0 && !x->tentative; };
    auto ours = [clip, tag](const ClaimedSpan* x) { return x->clip == clip || (tag && x->tag == tag); };
    // per recording: its last piece, where the run that holds it is known to begin, and the last
    // piece of another recording in front of that run
    struct Stretch {
        const ClaimedSpan* last;
        uint64_t begin;
        const ClaimedSpan* before;
    } seen[runs_recordings_max] = {};
    const ClaimedSpan* latest[2] = {nullptr, nullptr};  // the last pieces of the last two recordings met
    for (; c != stop && c->begin < to; c++) {
        if (!located(c) || c->end <= from)
            continue;
        if (!latest[0] || latest[0]->clip != c->clip)
            latest[1] = latest[0];
        latest[0] = c;
        Stretch* r = seen;
        while (r != seen + runs_recordings_max && r->last && r->last->clip != c->clip)
            r++;
        if (c->file == UINT64_MAX || r == seen + runs_recordings_max)
            continue;
        const ClaimedSpan* b = r->last;
        // as far apart in the image as in the file: one run holds both and all between
        if (!b || b->file == UINT64_MAX || c->begin < b->begin || c->file < b->file ||
            c->begin - b->begin != c->file - b->file)
            r->begin = c->begin, r->before = latest[1];
        r->last = c;
        if (clusters_touched(geometry, r->begin, c->end) < need || !r->before || (!ours(c) && !ours(r->before)))
            continue;
        // a run written while another file grew beside it lies between two runs of that file:
        // written alone, a file has longer runs than beside another
        const ClaimedSpan* after = c + 1;
        while (after != stop && after->begin < to && (!located(after) || after->clip == c->clip))
            after++;
        if (after != stop && after->begin < to && after->clip == r->before->clip)
            return 1;
    }
    return 0;
}

}  // namespace salvage
