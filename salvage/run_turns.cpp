#include "salvage/run_turns.h"

#include <algorithm>
#include <utility>
#include <vector>

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
    struct Seen {
        uint32_t clip;
        std::vector<uint64_t> taken;                       // the clusters its pieces take
        std::vector<std::pair<uint64_t, uint64_t>> known;  // those whose file cluster is known, and it
    } seen[order_recordings_max] = {};
    uint64_t from = heap + (lc > reach ? lc - reach : 0) * cs;
    uint64_t to = heap + (hc + reach + 1) * cs;
    const ClaimedSpan* stop = claims->spans.items + claims->spans.count;
    for (const ClaimedSpan* c = first_reaching(claims, from); c != stop && c->begin < to; c++) {
        if (c->end <= from || c->begin < heap || c->clip == 0 || c->tentative != 0 || !of_other(c, clip, tag))
            continue;
        Seen* r = seen;
        while (r != seen + order_recordings_max && r->clip && r->clip != c->clip)
            r++;
        if (r == seen + order_recordings_max)
            return 0;
        r->clip = c->clip;
        for (uint64_t b = std::max(c->begin, from); b < c->end && b < to; b = heap + ((b - heap) / cs + 1) * cs) {
            uint64_t k = (b - heap) / cs;
            r->taken.push_back(k);
            if (c->file != UINT64_MAX)
                r->known.emplace_back(k, (c->file + (b - c->begin)) / cs);
        }
    }
    for (Seen* r = seen; r != seen + order_recordings_max && r->clip; r++) {
        // a piece that reaches past a known cluster of a later one takes clusters behind it: the
        // clusters are weighed in image order, each once; of two pieces that tell one cluster's
        // file cluster, the first found tells it
        std::sort(r->taken.begin(), r->taken.end());
        r->taken.erase(std::unique(r->taken.begin(), r->taken.end()), r->taken.end());
        std::stable_sort(r->known.begin(), r->known.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        r->known.erase(std::unique(r->known.begin(), r->known.end(),
                                   [](const auto& x, const auto& y) { return x.first == y.first; }),
                       r->known.end());
        for (size_t i = 1; i < r->known.size(); i++) {
            auto [k0, f0] = r->known[i - 1];
            auto [k, f] = r->known[i];
            if (k < lc || k0 > hc)
                continue;
            // the clusters taken after the one known before, up to this one, fit the file's
            uint64_t between = uint64_t(std::upper_bound(r->taken.begin(), r->taken.end(), k) -
                                        std::upper_bound(r->taken.begin(), r->taken.end(), k0));
            if (f <= f0 || between > f - f0)
                return 0;
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
