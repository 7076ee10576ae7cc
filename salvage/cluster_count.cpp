#include "salvage/cluster_count.h"

#include <algorithm>
#include <vector>

#include "salvage/count_thirds.h"

namespace salvage {

namespace {

// A way of counting after a cluster: each file's clusters since its last located piece in the
// stretch, or since the stretch's start in front of its first.
constexpr uint32_t not_counted = UINT32_MAX;
constexpr uint64_t label_other = UINT64_MAX - 1;
constexpr uint64_t label_unknown = UINT64_MAX - 2;  // the recording's, at a place in its file no count shows

uint64_t state_of(uint32_t own, uint32_t other)
{
    return uint64_t(own) << 32 | other;
}

// What the located pieces of one file tell per cluster of the stretch.
struct FileCount {
    // the clusters the file has in front of its next located piece (at or behind the cluster):
    // exactly this many since its last one, at most this many in front of its first (a file's
    // clusters are counted from 0); not_counted behind its last
    std::vector<uint32_t> bound;
    std::vector<uint64_t> last;  // the file's cluster of its last located piece in front, UINT64_MAX: none
};

struct Stretch {
    const CountedCluster* known;
    uint64_t n;
    FileCount files[2];  // the recording's, the other's
};

// The counts per cluster; 0 when the located pieces of a file do not keep the order of its file,
// or need more of its clusters between two of them than the card has.
int count_bounds(Stretch* s)
{
    for (int side = 0; side < 2; side++) {
        uint8_t owner = side ? count_other : count_own;
        FileCount& f = s->files[side];
        f.bound.assign(s->n, not_counted);
        f.last.assign(s->n, UINT64_MAX);
        uint64_t last = UINT64_MAX, last_at = 0, next_from = 0;
        for (uint64_t i = 0; i < s->n; i++) {
            const CountedCluster& c = s->known[i];
            f.last[i] = last;
            if (c.owner != owner || c.file == UINT64_MAX)
                continue;
            if (last != UINT64_MAX && (c.file <= last || c.file - last > i - last_at))
                return 0;
            uint64_t need = last == UINT64_MAX ? c.file : c.file - last - 1;
            for (uint64_t j = next_from; j <= i; j++)
                f.bound[j] = uint32_t(std::min<uint64_t>(need, not_counted - 1));
            last = c.file, last_at = i, next_from = i + 1;
        }
    }
    return 1;
}

// One file's count past cluster i, which is the file's (its located piece when `file` is set):
// 1 and `next` filled when the count allows it.
int count_step(const FileCount& f, uint64_t i, uint32_t count, uint64_t file, uint32_t* next)
{
    if (file != UINT64_MAX) {
        // a located piece: exactly the clusters its file has since the last, at most those in front of the first
        if (f.last[i] == UINT64_MAX ? count > f.bound[i] : count != f.bound[i])
            return 0;
        *next = 0;
        return 1;
    }
    if (f.bound[i] != not_counted && count + 1 > f.bound[i])
        return 0;
    *next = count + 1 < not_counted ? count + 1 : count;
    return 1;
}

// The ways of counting after cluster i that follow from `state` after the one in front, each with
// the recording's file cluster it puts at cluster i (label_other: the other file's, or a third's,
// which neither file counts).
int steps_from(const Stretch* s, uint64_t i, uint64_t state, uint64_t next[3], uint64_t label[3])
{
    uint32_t own = uint32_t(state >> 32), other = uint32_t(state), counted;
    const CountedCluster& c = s->known[i];
    int count = 0;
    if (c.owner != count_other && count_step(s->files[0], i, own, c.file, &counted)) {
        uint64_t last = s->files[0].last[i];
        next[count] = state_of(counted, other);
        label[count++] = c.file != UINT64_MAX ? c.file : last == UINT64_MAX ? label_unknown : last + counted;
    }
    if (c.owner != count_own && count_step(s->files[1], i, other, c.file, &counted))
        next[count] = state_of(own, counted), label[count++] = label_other;
    if (c.owner == count_unknown && c.third)
        next[count] = state, label[count++] = label_other;
    return count;
}

}  // namespace

int count_stretch(const CountedCluster* known, uint64_t n, uint64_t* own_file)
{
    if (n < 2 || n > count_clusters_max)
        return -1;
    Stretch s{known, n, {}};
    if (!count_bounds(&s))
        return 0;
    // forward: every way of counting the clusters up to each one allows
    std::vector<std::vector<uint64_t>> ways(n);
    for (uint64_t i = 0; i < n; i++) {
        std::vector<uint64_t> start{state_of(0, 0)};
        for (uint64_t state : i ? ways[i - 1] : start) {
            uint64_t next[3], label[3];
            int count = steps_from(&s, i, state, next, label);
            for (int k = 0; k < count; k++)
                ways[i].push_back(next[k]);
        }
        std::sort(ways[i].begin(), ways[i].end());
        ways[i].erase(std::unique(ways[i].begin(), ways[i].end()), ways[i].end());
        if (ways[i].size() > count_states_max)
            return -1;
        if (ways[i].empty())
            return 0;
    }
    // backward: of those, the ways that reach the stretch's end, and what they put at each cluster
    std::vector<uint64_t> alive = ways[n - 1], before, start{state_of(0, 0)};
    for (uint64_t i = n; i-- > 0;) {
        before.clear();
        uint64_t put = UINT64_MAX;
        int agree = 1;
        for (uint64_t state : i ? ways[i - 1] : start) {
            uint64_t next[3], label[3];
            int count = steps_from(&s, i, state, next, label), lives = 0;
            for (int k = 0; k < count; k++) {
                if (!std::binary_search(alive.begin(), alive.end(), next[k]))
                    continue;
                lives = 1;
                if (put == UINT64_MAX)
                    put = label[k];
                else if (put != label[k])
                    agree = 0;
            }
            if (lives)
                before.push_back(state);
        }
        if (before.empty())
            return 0;
        own_file[i] = agree && put < label_unknown ? put : UINT64_MAX;
        alive.swap(before);
    }
    return 1;
}

namespace {

// The stretch of the heap's clusters from `first` on, what the located pieces show of each, and
// the other recording met there.
struct CountWindow {
    const image::ImageGeometry* g;
    uint64_t first;
    std::vector<CountedCluster> known;
    uint32_t other_clip = 0, other_tag = 0;
    int other_seen = 0;
};

// Notes span `s` of `owner` on the clusters it touches; 0 when a cluster is shown as two files'.
int mark_span(CountWindow* w, const ClaimedSpan& s, uint8_t owner)
{
    uint64_t cs = w->g->cluster_bytes, heap = w->g->heap_offset, begin = heap + w->first * cs;
    uint64_t end = begin + w->known.size() * cs, from = std::max(s.begin, begin), to = std::min(s.end, end);
    // a piece keeps its offset inside its cluster: its file's cluster follows from its file offset
    int shown = s.file != UINT64_MAX && s.begin >= heap && (s.begin - heap) % cs == s.file % cs;
    for (uint64_t x = from; x < to; x = heap + ((x - heap) / cs + 1) * cs) {
        CountedCluster& c = w->known[(x - heap) / cs - w->first];
        uint64_t f = shown ? (s.file + (x - s.begin)) / cs : UINT64_MAX;
        if ((c.owner && c.owner != owner) || (c.file != UINT64_MAX && f != UINT64_MAX && c.file != f))
            return 0;
        c.owner = owner;
        if (f != UINT64_MAX)
            c.file = f;
    }
    return 1;
}

// 1 when span `s` is of the other recording met in the window (the first one met is).
int of_other(CountWindow* w, const ClaimedSpan& s)
{
    if (!w->other_seen) {
        w->other_seen = 1, w->other_clip = s.clip, w->other_tag = s.tag;
        return 1;
    }
    int same = s.tag ? s.tag == w->other_tag : s.clip && s.clip == w->other_clip;
    if (same && s.clip && !w->other_clip)
        w->other_clip = s.clip;
    if (same && s.tag && !w->other_tag)
        w->other_tag = s.tag;
    return same;
}

// Notes the located pieces in `claims` that touch the window; 0 when a third recording's lie there,
// bytes two recordings took, or pieces that contradict each other.
int mark_claims(CountWindow* w, const ClaimList* claims, uint32_t clip, uint32_t tag)
{
    uint64_t cs = w->g->cluster_bytes, begin = w->g->heap_offset + w->first * cs;
    uint64_t end = begin + w->known.size() * cs;
    for (uint64_t i = 0; i < claims->contested.count; i++)
        if (claims->contested.items[i].begin < end && claims->contested.items[i].end > begin)
            return 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    const ClaimedSpan* c = std::lower_bound(first, stop, begin > claims->longest ? begin - claims->longest : 0,
                                            [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    for (; c != stop && c->begin < end; c++) {
        // a piece placed by a guess, or by the room the others leave, counts nothing
        if (c->end <= begin || c->tentative || c->inferred || c->by_room || (!c->clip && !c->tag))
            continue;
        int own = c->clip == clip || (tag && c->tag == tag);
        if (!own && !of_other(w, *c))
            return 0;
        if (!mark_span(w, *c, own ? count_own : count_other))
            return 0;
    }
    return 1;
}

// A located piece the count goes by whose file cluster it shows, as the heap's clusters it
// touches: 1 and `first`, `last` filled.
int counted_piece(const ClaimedSpan& c, uint64_t heap, uint64_t cs, uint64_t* first, uint64_t* last)
{
    if (c.tentative || c.inferred || c.by_room || (!c.clip && !c.tag) || c.file == UINT64_MAX || c.end <= c.begin ||
        c.begin < heap || (c.begin - heap) % cs != c.file % cs)
        return 0;
    *first = (c.begin - heap) / cs, *last = (c.end - 1 - heap) / cs;
    return 1;
}

int of_clip(const ClaimedSpan& c, uint32_t clip, uint32_t tag)
{
    return c.clip == clip || (tag && c.tag == tag);
}

// The nearest cluster in front of cluster `c` (`ahead` 0) or behind it (1) that a located piece
// of the recording of `clip` (or `tag`; `mine` 0: of any other) touches and shows the file cluster
// of; UINT64_MAX: none. A piece of another recording fills `other` with its recording.
uint64_t nearest_piece(const ClaimList* claims, const ClaimedSpan* own, uint64_t own_count, uint64_t heap, uint64_t cs,
                       uint64_t c, int ahead, uint32_t clip, uint32_t tag, int mine, ClaimedSpan* other)
{
    uint64_t best = UINT64_MAX, first, last;
    auto weigh = [&](const ClaimedSpan& s) {
        if (!counted_piece(s, heap, cs, &first, &last) || of_clip(s, clip, tag) != mine)
            return;
        uint64_t at = ahead ? first : last;
        if ((ahead ? at > c : at < c) && (best == UINT64_MAX || (ahead ? at < best : at > best))) {
            best = at;
            if (other)
                *other = s;
        }
    };
    // the pieces come in image order: those a stretch's length on at most are weighed
    const ClaimedSpan* items = claims->spans.items;
    const ClaimedSpan* stop = items + claims->spans.count;
    uint64_t edge = heap + (c + ahead) * cs, reach = count_clusters_max * cs;
    const ClaimedSpan* x = std::lower_bound(items, stop, edge, [](const ClaimedSpan& a, uint64_t v) { return a.begin < v; });
    if (ahead) {
        // the first one weighed begins in the nearest cluster
        for (; x != stop && x->begin - edge < reach && best == UINT64_MAX; x++)
            weigh(*x);
    } else {
        // one that begins further in front than the longest piece reaches ends in front of the best
        while (x != items && x[-1].begin + claims->longest + reach > edge &&
               (best == UINT64_MAX || x[-1].begin + claims->longest > heap + (best + 1) * cs))
            weigh(*--x);
    }
    for (uint64_t i = 0; mine && i < own_count; i++)
        weigh(own[i]);
    return best;
}

// How far the count of the stretch from cluster lc to hc reaches, in `from` and `to`: the other
// recording's clusters next to the stretch are counted only between two of its located pieces,
// and the recording's own in front of (or behind) the other's nearest one, so the stretch is
// widened to the other's nearest located piece on either side and on to the recording's own
// beyond that. Every cluster there still lies between two located pieces of one of the two.
void widen_stretch(const ClaimList* claims, const ClaimedSpan* own, uint64_t own_count, uint64_t heap, uint64_t cs,
                   uint64_t lc, uint64_t hc, uint32_t clip, uint32_t tag, uint64_t* from, uint64_t* to)
{
    *from = lc, *to = hc;
    ClaimedSpan other{};
    uint64_t o = nearest_piece(claims, own, own_count, heap, cs, lc, 0, clip, tag, 0, &other);
    if (o != UINT64_MAX) {
        uint64_t s = nearest_piece(claims, own, own_count, heap, cs, o, 0, clip, tag, 1, nullptr);
        *from = s != UINT64_MAX ? s : o;
    }
    // behind, the same other recording's
    ClaimedSpan next{};
    o = nearest_piece(claims, own, own_count, heap, cs, hc, 1, clip, tag, 0, &next);
    if (o != UINT64_MAX && (other.clip || other.tag) && !(next.clip == other.clip && next.tag == other.tag))
        o = UINT64_MAX;
    if (o != UINT64_MAX) {
        uint64_t s = nearest_piece(claims, own, own_count, heap, cs, o, 1, clip, tag, 1, nullptr);
        *to = s != UINT64_MAX ? s : o;
    }
    if (*to - *from + 1 > count_clusters_max)
        *from = lc, *to = hc;
}

// The stretch of clusters `from` to `to` (lo's cluster to hi's at the least) with what the located
// pieces show of it; 0 when it cannot be counted: too long, a third recording's pieces or bytes
// two recordings took in it, pieces that contradict each other, or none of the other recording's.
int count_window_over(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                      const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, uint64_t from,
                      uint64_t to, CountWindow* w)
{
    w->g = geometry, w->first = from;
    w->known.assign(to - from + 1, CountedCluster{count_unknown, UINT64_MAX});
    if (!mark_span(w, ClaimedSpan{lo.image, lo.image + 1, clip, tag, 0, lo.file}, count_own) ||
        !mark_span(w, ClaimedSpan{hi.image, hi.image + 1, clip, tag, 0, hi.file}, count_own) ||
        !mark_claims(w, claims, clip, tag))
        return 0;
    for (uint64_t i = 0; i < own_count; i++)
        if (!mark_span(w, own[i], count_own))
            return 0;
    // the other recording must lie there: with none, the clusters between are not shown as the others'
    if (!w->other_seen)
        return 0;
    std::vector<uint8_t> may(w->known.size());
    mark_third_room(geometry, claims, CountedFiles{clip, tag, w->other_clip, w->other_tag}, from, may.size(),
                    count_clusters_max, may.data());
    for (uint64_t i = 0; i < may.size(); i++)
        w->known[i].third = may[i];
    return 1;
}

// The stretch from lo's cluster to hi's, widened (widen_stretch) where the wider one counts.
int count_window(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                 const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, CountWindow* w)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = cs ? geometry->heap_offset : 0;
    if (cs == 0 || !claims || lo.image < heap || hi.image <= lo.image || hi.file <= lo.file)
        return 0;
    uint64_t lc = (lo.image - heap) / cs, hc = (hi.image - heap) / cs, from, to;
    if (hc <= lc || hc - lc + 1 > count_clusters_max)
        return 0;
    widen_stretch(claims, own, own_count, heap, cs, lc, hc, clip, tag, &from, &to);
    if (from != lc || to != hc) {
        CountWindow wide{};
        std::vector<uint64_t> own_file(to - from + 1);
        if (count_window_over(geometry, claims, clip, tag, own, own_count, lo, hi, from, to, &wide) &&
            count_stretch(wide.known.data(), wide.known.size(), own_file.data()) == 1) {
            *w = std::move(wide);
            return 1;
        }
    }
    return count_window_over(geometry, claims, clip, tag, own, own_count, lo, hi, lc, hc, w);
}

}  // namespace

int count_prepare(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                  const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, CountedStretch* out)
{
    CountWindow w{};
    if (!count_window(geometry, claims, clip, tag, own, own_count, lo, hi, &w))
        return 0;
    out->geometry = geometry, out->first = w.first, out->clip = clip, out->tag = tag;
    out->known.swap(w.known);
    return 1;
}

int count_fits_with(const CountedStretch* stretch, const ClaimedSpan* way, uint64_t way_count)
{
    CountWindow w{stretch->geometry, stretch->first, stretch->known};
    for (uint64_t i = 0; i < way_count; i++)
        if (!mark_span(&w, way[i], count_own))
            return 0;  // the way puts the recording's bytes where another piece lies
    std::vector<uint64_t> own_file(w.known.size());
    return count_stretch(w.known.data(), w.known.size(), own_file.data());
}

int count_own_files(const CountedStretch* stretch, const ClaimedSpan* way, uint64_t way_count,
                    std::vector<uint64_t>* own_file)
{
    CountWindow w{stretch->geometry, stretch->first, stretch->known};
    for (uint64_t i = 0; i < way_count; i++)
        if (!mark_span(&w, way[i], count_own))
            return 0;
    own_file->assign(w.known.size(), UINT64_MAX);
    return count_stretch(w.known.data(), w.known.size(), own_file->data()) == 1;
}

namespace {

// Bytes [file, file + size) of the recording placed where every way of sharing the clusters of `w`
// out puts each of their clusters: 1 and `out` filled when that is one place for each; -1 when the
// count puts none of the recording's clusters as far on as their last, 0 otherwise.
int place_counted(const CountWindow& w, uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = w.g->cluster_bytes, heap = w.g->heap_offset, lc = w.first;
    std::vector<uint64_t> own_file(w.known.size());
    if (count_stretch(w.known.data(), w.known.size(), own_file.data()) != 1)
        return 0;
    uint64_t first_u = file / cs, last_u = (file + size - 1) / cs, prev = UINT64_MAX, furthest = 0;
    for (uint64_t f : own_file)
        furthest = f != UINT64_MAX ? std::max(furthest, f) : furthest;
    if (furthest < last_u)
        return -1;
    ChunkPlace place{};
    for (uint64_t u = first_u, i = 0; u <= last_u; u++) {
        while (i < own_file.size() && own_file[i] != u)
            i++;
        if (i == own_file.size())
            return 0;  // the ways put the file's cluster in more places than one
        uint64_t at = heap + (lc + i) * cs;
        if (u == first_u)
            place.at = at + file % cs;
        else if (i != prev + 1 && !add_run(&place, u * cs - file, at))
            return 0;
        prev = i;
    }
    *out = place;
    return 1;
}

}  // namespace

int count_place(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, uint64_t file,
                uint64_t size, ChunkPlace* out)
{
    CountWindow w{};
    return size && lo.file <= file && file <= UINT64_MAX - size && hi.file >= file + size - 1 &&
           count_window(geometry, claims, clip, tag, own, own_count, lo, hi, &w) && place_counted(w, file, size, out) == 1;
}

int count_place_open(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                     const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, uint64_t file, uint64_t size,
                     ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = cs ? geometry->heap_offset : 0;
    if (cs == 0 || !claims || size == 0 || lo.file > file || file > UINT64_MAX - size || lo.image < heap)
        return 0;
    uint64_t lc = (lo.image - heap) / cs, need = (file + size - 1) / cs - lo.file / cs, from, to;
    // the stretch ends at the other's piece behind the nearest place the bytes' last cluster may
    // take, and reaches on piece by piece while the count puts the recording's clusters short of it
    for (uint64_t c = lc + need; c - lc < count_clusters_max;) {
        ClaimedSpan other{};
        uint64_t o = nearest_piece(claims, own, own_count, heap, cs, c, 1, clip, tag, 0, &other);
        if (o == UINT64_MAX || o - lc + 1 > count_clusters_max)
            return 0;
        widen_stretch(claims, own, own_count, heap, cs, lc, o, clip, tag, &from, &to);
        int placed = 0;
        for (uint64_t start : from != lc ? std::vector<uint64_t>{from, lc} : std::vector<uint64_t>{lc}) {
            CountWindow w{};
            placed = count_window_over(geometry, claims, clip, tag, own, own_count, lo, lo, start, o, &w)
                         ? place_counted(w, file, size, out)
                         : 0;
            if (placed == 1)
                return 1;
        }
        if (placed != -1)
            return 0;
        c = o;
    }
    return 0;
}

}  // namespace salvage
