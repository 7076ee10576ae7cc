#include "salvage/run_turns.h"

#include <algorithm>

#include "salvage/layout_join.h"

namespace salvage {

int of_other(const ClaimedSpan* c, uint32_t clip, uint32_t tag)
{
    return c->clip != clip && (c->tag == 0 || c->tag != tag);
}

namespace {

const ClaimedSpan* first_reaching(const ClaimList* claims, uint64_t b)
{
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    uint64_t from = b > claims->longest ? b - claims->longest : 0;
    return std::lower_bound(first, stop, from, [](const ClaimedSpan& x, uint64_t y) { return x.begin < y; });
}

}  // namespace

ClusterView view_cluster(const ClaimList* claims, uint64_t b, uint64_t cs, uint32_t clip, uint32_t tag)
{
    ClusterView v = {0, 0, 0, 0, UINT64_MAX, 0};
    const ClaimedSpan* stop = claims->spans.items + claims->spans.count;
    for (const ClaimedSpan* c = first_reaching(claims, b); c != stop && c->begin < b + cs; c++) {
        if (c->end <= b || c->inferred)
            continue;
        if (of_other(c, clip, tag)) {
            v.taken |= c->tentative == 0 || c->tentative == claim_copy;
            v.other |= c->tentative == 0;
            v.solid |= c->tentative == 0 &&
                       (c->file != UINT64_MAX || c->bound || c->clip == 0 || c->end - c->begin >= cs);
            continue;
        }
        if (c->tentative != 0)
            continue;
        v.mine = 1;
        if (c->file == UINT64_MAX)
            continue;
        uint64_t x = std::max(c->begin, b), f = (c->file + (x - c->begin)) / cs;
        if (v.own != UINT64_MAX && v.own != f)
            v.clash = 1;
        v.own = f;
    }
    return v;
}

namespace {

// Recordings whose pieces others_in_order weighs.
constexpr uint32_t order_recordings_max = 8;

}  // namespace

int others_in_order(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t lc, uint64_t hc, uint32_t clip,
                    uint32_t tag, uint64_t reach)
{
    struct Last {
        uint32_t clip;
        uint64_t cluster;  // the last cluster its pieces take
        uint64_t known;    // the last of them whose file cluster is known, and that file cluster
        uint64_t file;
        uint64_t taken;    // clusters its pieces take from `known` on
        int has_known;
    } seen[order_recordings_max] = {};
    uint64_t from = heap + (lc > reach ? lc - reach : 0) * cs;
    uint64_t to = heap + (hc + reach + 1) * cs;
    const ClaimedSpan* stop = claims->spans.items + claims->spans.count;
    for (const ClaimedSpan* c = first_reaching(claims, from); c != stop && c->begin < to; c++) {
        if (c->end <= from || c->begin < heap || c->clip == 0 || c->tentative != 0 || !of_other(c, clip, tag))
            continue;
        Last* r = seen;
        while (r != seen + order_recordings_max && r->clip && r->clip != c->clip)
            r++;
        if (r == seen + order_recordings_max)
            return 0;
        r->clip = c->clip;
        for (uint64_t b = std::max(c->begin, from); b < c->end && b < to; b = heap + ((b - heap) / cs + 1) * cs) {
            uint64_t k = (b - heap) / cs;
            // pieces come in image order: a cluster is counted once
            if (!r->taken || k > r->cluster)
                r->cluster = k, r->taken++;
            // a cluster met before: the same piece claimed twice, or pieces that overlap
            if (c->file == UINT64_MAX || (r->has_known && k <= r->known))
                continue;
            uint64_t f = (c->file + (b - c->begin)) / cs;
            // the clusters taken since the last known one, this one's included, fit the file's
            if (r->has_known && (f <= r->file || r->taken - 1 > f - r->file) && k >= lc && r->known <= hc)
                return 0;
            r->known = k, r->file = f, r->taken = 1, r->has_known = 1;
        }
    }
    return 1;
}

namespace {

// A located piece of a recording whose file offset is known, as far as the clusters go.
struct KnownPiece {
    uint32_t clip, tag;
    uint64_t first, last;  // the heap's clusters it touches
    uint64_t first_file, last_file;  // the file's clusters of those
};

int known_piece(const ClaimedSpan& c, uint64_t heap, uint64_t cs, KnownPiece* out)
{
    if (c.clip == 0 || c.tentative != 0 || c.inferred || c.file == UINT64_MAX || c.end <= c.begin || c.begin < heap ||
        (c.begin - heap) % cs != c.file % cs || c.file > UINT64_MAX - (c.end - c.begin))
        return 0;
    *out = KnownPiece{c.clip, c.tag, (c.begin - heap) / cs, (c.end - 1 - heap) / cs, c.file / cs,
                      (c.file + (c.end - 1 - c.begin)) / cs};
    return out->last - out->first == out->last_file - out->first_file;
}

// The clusters strictly between `lo` and `hi` of one recording that counting gives it, appended
// to `out` with their file offsets: those no other recording's piece takes, when they are exactly
// as many as the file's clusters between the two and its own pieces among them sit where that
// order puts them. How many of them no piece held yet.
uint64_t count_gap(const ClaimList* claims, uint64_t heap, uint64_t cs, const KnownPiece& lo, const KnownPiece& hi,
                   basics::Growable<ClaimedSpan, 16>* out)
{
    if (hi.first <= lo.last + 1 || hi.first - lo.last - 1 > turns_window_clusters || hi.first_file <= lo.last_file)
        return 0;
    uint64_t need = hi.first_file - lo.last_file - 1, count = 0, unknown = 0;
    if (need > hi.first - lo.last - 1 ||
        !others_in_order(claims, heap, cs, lo.last, hi.first, lo.clip, lo.tag, turns_window_clusters))
        return 0;
    uint64_t at[turns_window_clusters];
    for (uint64_t c = lo.last + 1; c < hi.first; c++) {
        ClusterView v = view_cluster(claims, heap + c * cs, cs, lo.clip, lo.tag);
        // a cluster whose taker may be a wrong find may be the file's own: nothing is counted
        if (v.clash || (v.mine && v.taken) || (v.taken && !v.solid))
            return 0;
        if (v.taken)
            continue;
        // the file's clusters come in its order: a piece of its own elsewhere in it is a wrong count
        if (count == need || (v.own != UINT64_MAX && v.own != lo.last_file + 1 + count))
            return 0;
        unknown += !v.mine;
        at[count++] = v.mine ? UINT64_MAX : c;
    }
    if (count != need)
        return 0;
    for (uint64_t i = 0; i < count; i++)
        if (at[i] != UINT64_MAX)
            basics::list_append(out, ClaimedSpan{heap + at[i] * cs, heap + (at[i] + 1) * cs, lo.clip, lo.tag, 0,
                                                 (lo.last_file + 1 + i) * cs});
    return unknown;
}

}  // namespace

uint64_t settle_turns(const image::ImageGeometry* geometry, ClaimList* claims)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0, added = 0;
    if (cs == 0 || !claims)
        return 0;
    for (uint32_t round = 0; round < turns_rounds_max; round++) {
        basics::Growable<ClaimedSpan, 16> found{};
        const ClaimedSpan* spans = claims->spans.items;
        uint64_t n = claims->spans.count;
        // each located piece and the next of its recording behind it in the image, looked for as
        // far as a gap is counted
        for (uint64_t i = 0; i < n; i++) {
            KnownPiece lo, hi;
            if (!known_piece(spans[i], heap, cs, &lo))
                continue;
            // the next piece of the same recording that begins past lo's clusters; one that ends
            // inside them is passed over
            uint64_t j = i + 1, reach = heap + (lo.last + turns_window_clusters + 2) * cs;
            for (; j < n && spans[j].begin < reach; j++) {
                if (!known_piece(spans[j], heap, cs, &hi) || hi.clip != lo.clip)
                    continue;
                if (hi.last <= lo.last)
                    continue;
                break;
            }
            if (j < n && spans[j].begin < reach && hi.first > lo.last + 1)
                added += count_gap(claims, heap, cs, lo, hi, &found);
        }
        if (found.count == 0) {
            basics::list_free(&found);
            break;
        }
        for (uint64_t i = 0; i < found.count; i++)
            basics::list_append(&claims->spans, found.items[i]);
        basics::list_free(&found);
        sort_claims(claims);
    }
    return added;
}

}  // namespace salvage
