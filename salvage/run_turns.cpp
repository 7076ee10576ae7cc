#include "salvage/run_turns.h"

#include <algorithm>
#include <tuple>
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

uint64_t others_bytes(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t begin, uint64_t end, uint32_t clip,
                      uint32_t tag)
{
    if (cs == 0 || end <= heap)
        return 0;
    uint64_t first = (std::max(begin, heap) - heap + cs - 1) / cs, bytes = 0;
    for (uint64_t k = first; k < first + others_clusters_max && heap + (k + 1) * cs <= end; k++)
        bytes += view_cluster(claims, heap + k * cs, cs, clip, tag).other ? cs : 0;
    return bytes;
}

namespace {

// Recordings whose pieces others_in_order weighs.
constexpr uint32_t order_recordings_max = 8;

// others_in_order, each piece's clusters weighed piece by piece in image order, or with
// `by_cluster` cluster by cluster: a long piece's later clusters then come after those of the
// pieces located inside it. Piece by piece, a long piece of unknown file offsets (a chunk walked up
// to where its run ends) counts its later clusters before a piece located inside it, and the count
// of that recording looks out of order. Rooms counted together weigh the others cluster by
// cluster; a room settled alone, piece by piece (cluster by cluster, more rooms settle alone and a
// 720p card in runs of 32 loses the joins of two chunks, though every cluster so settled is right).
int order_kept(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t lc, uint64_t hc, uint32_t clip,
               uint32_t tag, uint64_t reach, int by_cluster)
{
    struct Touch {
        uint64_t cluster;
        uint64_t piece;  // the pieces' image order
        uint64_t file;   // the file's cluster there; UINT64_MAX: not known
        uint32_t clip;
    };
    std::vector<Touch> touches;
    uint64_t from = heap + (lc > reach ? lc - reach : 0) * cs;
    uint64_t to = heap + (hc + reach + 1) * cs;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    for (const ClaimedSpan* c = first_reaching(claims, from); c != stop && c->begin < to; c++) {
        // a piece placed where one boundary would put it may reach over runs of another file where
        // there are more: its clusters show no order
        if (c->end <= from || c->begin < heap || c->clip == 0 || c->tentative != 0 || c->inferred ||
            !of_other(c, clip, tag))
            continue;
        for (uint64_t b = std::max(c->begin, from); b < c->end && b < to; b = heap + ((b - heap) / cs + 1) * cs)
            touches.push_back(Touch{(b - heap) / cs, static_cast<uint64_t>(c - first),
                                    c->file == UINT64_MAX ? UINT64_MAX : (c->file + (b - c->begin)) / cs, c->clip});
    }
    if (by_cluster)
        std::stable_sort(touches.begin(), touches.end(),
                         [](const Touch& x, const Touch& y) { return x.cluster < y.cluster; });
    struct Last {
        uint32_t clip;
        uint64_t cluster;  // the last cluster its pieces take
        uint64_t known;    // the last of them whose file cluster is known, and that file cluster
        uint64_t file;
        uint64_t taken;    // clusters its pieces take from `known` on
        int has_known;
    } seen[order_recordings_max] = {};
    for (const Touch& t : touches) {
        Last* r = seen;
        while (r != seen + order_recordings_max && r->clip && r->clip != t.clip)
            r++;
        if (r == seen + order_recordings_max)
            return 0;
        r->clip = t.clip;
        uint64_t k = t.cluster;
        // a cluster is counted once
        if (!r->taken || k > r->cluster)
            r->cluster = k, r->taken++;
        // a cluster met before: the same piece claimed twice, or pieces that overlap
        if (t.file == UINT64_MAX || (r->has_known && k <= r->known))
            continue;
        // the clusters taken since the last known one, this one's included, fit the file's
        if (r->has_known && (t.file <= r->file || r->taken - 1 > t.file - r->file) && k >= lc && r->known <= hc)
            return 0;
        r->known = k, r->file = t.file, r->taken = 1, r->has_known = 1;
    }
    return 1;
}

}  // namespace

int others_in_order(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t lc, uint64_t hc, uint32_t clip,
                    uint32_t tag, uint64_t reach)
{
    return order_kept(claims, heap, cs, lc, hc, clip, tag, reach, 0);
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

// The room between two located pieces of one file: the clusters strictly between them that no
// other recording's piece takes, in image order, each with the file's cluster a piece of its own
// there shows (UINT64_MAX: none), and how many of the file's clusters lie between the two.
struct TurnGap {
    KnownPiece lo, hi;
    uint64_t need;
    uint32_t count;
    uint64_t at[turns_window_clusters];
    uint64_t own[turns_window_clusters];
    uint8_t mine[turns_window_clusters];
    int alone;  // the others' pieces keep their order weighed piece by piece: it may be settled alone
};

// 1 and `g` filled when the room can be counted: the other recordings' pieces around keep the
// order of their files (weighed cluster by cluster), every cluster between is either the file's free choice or taken by a piece
// a wrong find would hardly be, and the room holds at least the clusters needed.
int gap_room(const ClaimList* claims, uint64_t heap, uint64_t cs, const KnownPiece& lo, const KnownPiece& hi,
             TurnGap* g)
{
    if (hi.first <= lo.last + 1 || hi.first - lo.last - 1 > turns_window_clusters || hi.first_file <= lo.last_file)
        return 0;
    g->lo = lo, g->hi = hi, g->need = hi.first_file - lo.last_file - 1, g->count = 0;
    if (g->need > hi.first - lo.last - 1 ||
        !order_kept(claims, heap, cs, lo.last, hi.first, lo.clip, lo.tag, turns_window_clusters, 1))
        return 0;
    g->alone = others_in_order(claims, heap, cs, lo.last, hi.first, lo.clip, lo.tag, turns_window_clusters);
    for (uint64_t c = lo.last + 1; c < hi.first; c++) {
        ClusterView v = view_cluster(claims, heap + c * cs, cs, lo.clip, lo.tag);
        // a cluster whose taker may be a wrong find may be the file's own: nothing is counted
        if (v.clash || (v.mine && v.taken) || (v.taken && !v.solid))
            return 0;
        if (v.taken)
            continue;
        g->at[g->count] = c, g->own[g->count] = v.own, g->mine[g->count] = static_cast<uint8_t>(v.mine);
        g->count++;
    }
    return g->count >= g->need;
}

// The clusters of the room that `chosen` (null: all) gives the file, appended to `out` with their
// file offsets when they are as many as it needs there and its own pieces among them sit where that
// order puts them. How many of them no piece held yet.
uint64_t settle_gap(const TurnGap& g, uint64_t heap, uint64_t cs, const uint8_t* chosen,
                    basics::Growable<ClaimedSpan, 16>* out)
{
    uint64_t at[turns_window_clusters], n = 0, unknown = 0;
    for (uint32_t i = 0; i < g.count; i++) {
        if (chosen && !chosen[i])
            continue;
        // the file's clusters come in its order: a piece of its own elsewhere in it is a wrong count
        if (n == g.need || (g.own[i] != UINT64_MAX && g.own[i] != g.lo.last_file + 1 + n))
            return 0;
        unknown += !g.mine[i];
        at[n++] = g.mine[i] ? UINT64_MAX : g.at[i];
    }
    if (n != g.need)
        return 0;
    for (uint64_t i = 0; i < n; i++)
        if (at[i] != UINT64_MAX)
            basics::list_append(out, ClaimedSpan{heap + at[i] * cs, heap + (at[i] + 1) * cs, g.lo.clip, g.lo.tag, 0,
                                                 (g.lo.last_file + 1 + i) * cs});
    return unknown;
}

int gap_root(std::vector<uint32_t>* up, uint32_t g)
{
    while ((*up)[g] != g)
        g = (*up)[g] = (*up)[(*up)[g]];
    return static_cast<int>(g);
}

// Rooms of different files that share clusters, counted together. Each file's clusters in a room
// are among those free there, and no cluster is two files'; where the free clusters of rooms that
// overlap are exactly as many as those rooms need together, every one of them is one room's. A
// cluster then free in one room only (of those that still need some) is that room's file's, and a
// room left with just as many free clusters as it still needs takes them all. Rooms so filled are
// settled as one room alone would be.
uint64_t count_together(const std::vector<TurnGap>& gaps, uint64_t heap, uint64_t cs,
                        basics::Growable<ClaimedSpan, 16>* out)
{
    struct Free {
        uint64_t cluster;
        uint32_t gap, slot;
    };
    // a room met again from a copy of its pieces, or from a piece in front of one that ends
    // nearer (the same hi), is counted once: as the nearer one
    std::vector<uint32_t> order(gaps.size());
    for (uint32_t g = 0; g < gaps.size(); g++)
        order[g] = g;
    auto key = [&](uint32_t g) {
        return std::make_tuple(gaps[g].lo.clip, gaps[g].lo.tag, gaps[g].hi.first, gaps[g].lo.last);
    };
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return key(x) < key(y); });
    std::vector<uint8_t> twin(gaps.size(), 0);
    for (size_t i = 0; i + 1 < order.size(); i++) {
        const TurnGap &a = gaps[order[i]], &b = gaps[order[i + 1]];
        twin[order[i]] = a.lo.clip == b.lo.clip && a.lo.tag == b.lo.tag && a.hi.first == b.hi.first;
    }
    std::vector<Free> free;
    for (uint32_t g = 0; g < gaps.size(); g++)
        for (uint32_t i = 0; i < gaps[g].count && !twin[g]; i++)
            free.push_back(Free{gaps[g].at[i], g, i});
    std::sort(free.begin(), free.end(), [](const Free& x, const Free& y) {
        return x.cluster != y.cluster ? x.cluster < y.cluster : x.gap < y.gap;
    });
    std::vector<uint32_t> up(gaps.size());
    for (uint32_t g = 0; g < gaps.size(); g++)
        up[g] = g;
    for (size_t i = 1; i < free.size(); i++)
        if (free[i].cluster == free[i - 1].cluster)
            up[gap_root(&up, free[i].gap)] = static_cast<uint32_t>(gap_root(&up, free[i - 1].gap));
    // per group of rooms: its free clusters, what its rooms need, and whether two rooms of one file
    // share a cluster (the same room met twice, or pieces out of order: the group is not counted)
    std::vector<uint64_t> clusters(gaps.size(), 0), need(gaps.size(), 0), rooms(gaps.size(), 0);
    std::vector<uint8_t> bad(gaps.size(), 0);
    for (size_t i = 0; i < free.size(); i++) {
        uint32_t r = static_cast<uint32_t>(gap_root(&up, free[i].gap));
        clusters[r] += i == 0 || free[i].cluster != free[i - 1].cluster;
        for (size_t j = i; j-- > 0 && free[j].cluster == free[i].cluster;)
            if (gaps[free[j].gap].lo.clip == gaps[free[i].gap].lo.clip &&
                gaps[free[j].gap].lo.tag == gaps[free[i].gap].lo.tag)
                bad[r] = 1;
    }
    for (uint32_t g = 0; g < gaps.size(); g++) {
        uint32_t r = static_cast<uint32_t>(gap_root(&up, g));
        if (!twin[g])
            need[r] += gaps[g].need, rooms[r]++;
    }
    // the owner of each free cluster (its first entry in `free`), and what each room still needs
    std::vector<int64_t> owner(free.size(), -1);
    std::vector<uint64_t> left(gaps.size());
    std::vector<uint8_t> dead(gaps.size(), 0);
    for (uint32_t g = 0; g < gaps.size(); g++) {
        uint32_t r = static_cast<uint32_t>(gap_root(&up, g));
        left[g] = gaps[g].need;
        dead[g] = twin[g] || rooms[r] < 2 || bad[r] || clusters[r] != need[r];
    }
    std::vector<uint64_t> first_of(free.size());
    for (size_t i = 0; i < free.size(); i++)
        first_of[i] = i && free[i].cluster == free[i - 1].cluster ? first_of[i - 1] : i;
    // where each room's slots sit in `free`
    std::vector<std::vector<uint64_t>> slots(gaps.size());
    for (size_t i = 0; i < free.size(); i++)
        slots[free[i].gap].push_back(i);
    for (int changed = 1; changed;) {
        changed = 0;
        for (size_t i = 0; i < free.size(); i++) {
            if (first_of[i] != i || dead[free[i].gap] || owner[i] >= 0)
                continue;
            int64_t only = -1;
            uint32_t takers = 0;
            for (size_t j = i; j < free.size() && free[j].cluster == free[i].cluster; j++)
                if (left[free[j].gap] > 0)
                    takers++, only = static_cast<int64_t>(free[j].gap);
            if (takers == 0) {
                // a cluster no room can take: the count was wrong, the group is given up
                for (uint32_t g = 0; g < gaps.size(); g++)
                    if (gap_root(&up, g) == gap_root(&up, free[i].gap))
                        dead[g] = 1;
                continue;
            }
            if (takers == 1)
                owner[i] = only, left[only]--, changed = 1;
        }
        for (uint32_t g = 0; g < gaps.size(); g++) {
            if (dead[g] || left[g] == 0)
                continue;
            uint64_t open = 0;
            for (uint64_t i : slots[g])
                open += owner[first_of[i]] < 0;
            if (open < left[g]) {
                for (uint32_t h = 0; h < gaps.size(); h++)
                    if (gap_root(&up, h) == gap_root(&up, g))
                        dead[h] = 1;
                continue;
            }
            if (open != left[g])
                continue;
            for (uint64_t i : slots[g])
                if (owner[first_of[i]] < 0)
                    owner[first_of[i]] = g;
            left[g] = 0, changed = 1;
        }
    }
    uint64_t added = 0;
    for (uint32_t g = 0; g < gaps.size(); g++) {
        if (dead[g] || left[g] != 0)
            continue;
        uint8_t chosen[turns_window_clusters] = {};
        for (uint64_t i : slots[g])
            chosen[free[i].slot] = owner[first_of[i]] == static_cast<int64_t>(g);
        added += settle_gap(gaps[g], heap, cs, chosen, out);
    }
    return added;
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
        std::vector<TurnGap> rooms;
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
            if (j >= n || spans[j].begin >= reach || hi.first <= lo.last + 1)
                continue;
            rooms.emplace_back();
            if (!gap_room(claims, heap, cs, lo, hi, &rooms.back())) {
                rooms.pop_back();
                continue;
            }
            // a room as large as the file needs is its own; the others are counted together
            if (rooms.back().count == rooms.back().need && rooms.back().alone) {
                added += settle_gap(rooms.back(), heap, cs, nullptr, &found);
                rooms.pop_back();
            }
        }
        // where no room is settled alone, those that share clusters are counted together
        if (found.count == 0)
            added += count_together(rooms, heap, cs, &found);
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
