#include "salvage/free_runs.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "salvage/run_turns.h"
#include "salvage/sound_gaps.h"

namespace salvage {

namespace {

// Runs repeat with a period of at most pattern_period_max clusters, each located slot of it seen
// at least pattern_seen times around the gap.
constexpr uint64_t pattern_period_max = 32;
constexpr uint32_t pattern_seen = 2;
// Clusters on either side of the gap first looked at.
constexpr uint64_t pattern_reach_least = 8;

// Which of the clusters [lc, hc] are the recording's when the runs around them repeat: the located
// pieces of the recording (side 1) and of the others (side 2) in `side`, from cluster `from` on,
// fold onto a period whose slots each hold pieces of one side only, the recording's slots one
// block of it. Every period up to pattern_period_max that folds so must give the same clusters;
// 1 and `mine` filled then, 0 when none folds, -1 when two disagree.
int fold_runs(const uint8_t* side, uint64_t from, uint64_t n, uint64_t lc, uint64_t hc, uint8_t* mine)
{
    int found = 0;
    for (uint64_t period = 2; period <= pattern_period_max && period * pattern_seen <= n; period++) {
        uint8_t slot[pattern_period_max] = {};
        uint32_t seen[pattern_period_max] = {};
        int fits = 1;
        for (uint64_t i = 0; i < n && fits; i++) {
            uint64_t k = (from + i) % period;
            if (side[i] == 0)
                continue;
            fits = slot[k] == 0 || slot[k] == side[i];
            slot[k] = side[i], seen[k]++;
        }
        uint32_t blocks = 0;
        for (uint64_t k = 0; k < period && fits; k++) {
            fits = seen[k] >= pattern_seen;
            blocks += slot[k] == 1 && slot[(k + period - 1) % period] == 2;
        }
        if (!fits || blocks != 1)
            continue;
        for (uint64_t c = lc; c <= hc; c++) {
            uint8_t m = slot[c % period] == 1;
            if (found && mine[c - lc] != m)
                return -1;
            mine[c - lc] = m;
        }
        found = 1;
    }
    return found;
}

// The clusters [first, last] around the gap's [lc, hc] where the files taking turns there may go
// on taking them: a file's runs stop with its last piece (its movie box) and begin with its
// first (its clip header), so the turns around that piece change. 0 when a file begins or ends
// inside the gap.
int turns_between(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t lc, uint64_t hc, uint64_t* first,
                  uint64_t* last)
{
    const ClaimedSpan* start = claims->spans.items;
    const ClaimedSpan* stop = start + claims->spans.count;
    uint64_t from = heap + *first * cs, to = heap + (*last + 1) * cs;
    from = from > claims->longest ? from - claims->longest : 0;
    for (const ClaimedSpan* s = std::lower_bound(start, stop, from,
                                                 [](const ClaimedSpan& x, uint64_t y) { return x.begin < y; });
         s != stop && s->begin < to; s++) {
        const ClaimedSpan& c = *s;
        if (!c.bound || c.end <= c.begin || c.begin < heap)
            continue;
        uint64_t at = ((c.bound == file_ends ? c.end - 1 : c.begin) - heap) / cs;
        if (at < *first || at > *last)
            continue;
        if (c.bound == file_ends ? at >= lc && at < hc : at > lc && at <= hc)
            return 0;
        if (c.bound == file_ends)
            at < lc ? *first = at + 1 : *last = at;
        else
            at <= lc ? *first = at : *last = at - 1;
    }
    return 1;
}

// 1 when the slots `span` gives the recording among the clusters [b, be] count its clusters as its
// file does: between two of its pieces whose file offsets are known lie as many of its slots as the
// file has clusters between the two. Free clusters between the turns can make a wrong period fold
// every piece near a gap; it then puts the recording's clusters out of their file's count.
int slots_count_file(const ClaimList* claims, uint64_t heap, uint64_t cs, uint32_t clip, uint32_t tag, uint64_t b,
                     uint64_t be, const uint8_t* span)
{
    uint64_t slots = 0, last_file = UINT64_MAX, last_slots = 0;
    for (uint64_t c = b; c <= be; c++) {
        slots += span[c - b];
        ClusterView v = view_cluster(claims, heap + c * cs, cs, clip, tag);
        if (!v.mine || v.taken || v.clash || v.own == UINT64_MAX)
            continue;
        if (!span[c - b] || (last_file != UINT64_MAX && (v.own < last_file || v.own - last_file != slots - last_slots)))
            return 0;
        last_file = v.own, last_slots = slots;
    }
    return 1;
}

// The recording's clusters among [lc, hc] by the runs around them, looked at from a few clusters
// on either side outward until the periods that fold agree: too few pieces fold onto any period or
// onto several, and where the runs stop repeating (a recording ends, another file lies between)
// none folds, however far it is looked. With `ahead` 0 only the runs in front of hc are looked at:
// behind the recording's end the other's runs no longer take turns with it.
int repeating_runs(const ClaimList* claims, uint64_t heap, uint64_t cs, uint32_t clip, uint32_t tag, uint64_t lc,
                   uint64_t hc, int ahead, uint8_t* mine)
{
    if (hc < lc || hc - lc >= free_runs_window)
        return 0;
    // looked at in front only, twice as far: runs of a few clusters each take many to repeat
    uint64_t reach = ahead ? free_runs_window : 0, back = ahead ? free_runs_window : 2 * free_runs_window;
    uint64_t from = lc > back ? lc - back : 0, n = hc + reach - from + 1;
    uint64_t first = from, last = from + n - 1;
    if (!turns_between(claims, heap, cs, lc, hc, &first, &last))
        return 0;
    uint8_t side[3 * free_runs_window + 1];  // 0 unknown, 1 the recording's, 2 another's
    for (uint64_t i = 0; i < n; i++) {
        ClusterView v = view_cluster(claims, heap + (from + i) * cs, cs, clip, tag);
        // a cluster two recordings' pieces claim tells neither
        side[i] = v.mine && v.taken ? 0 : v.mine ? 1 : v.other ? 2 : 0;
    }
    // a period that folds the pieces near the gap by chance fails further out: the clusters are
    // taken only when twice as far out they fold the same
    uint8_t wider[free_runs_window];
    for (uint64_t w = pattern_reach_least; 2 * w <= back; w *= 2) {
        uint64_t right = ahead ? w : 0, wide = ahead ? 2 * w : 0;
        uint64_t a = std::max(lc > w ? lc - w : 0, first), b = std::max(lc > 2 * w ? lc - 2 * w : 0, first);
        uint64_t ae = std::min(hc + right, last), be = std::min(hc + wide, last);
        if (a == b && ae == be)
            break;  // the files' ends leave nothing further out
        if (fold_runs(side + (a - from), a, ae - a + 1, lc, hc, mine) == 1 &&
            fold_runs(side + (b - from), b, be - b + 1, lc, hc, wider) == 1) {
            // and the slots the wider fold gives count the recording's clusters as its file does
            uint8_t span[3 * free_runs_window + 1];
            return std::equal(mine, mine + (hc - lc + 1), wider) &&
                   fold_runs(side + (b - from), b, be - b + 1, b, be, span) == 1 &&
                   slots_count_file(claims, heap, cs, clip, tag, b, be, span);
        }
    }
    return 0;
}

// The clusters from the one that holds a gap's `lo` to the one that holds its `hi` that no other
// recording's piece takes, in image order; with runs that repeat, only those of the recording's
// slots.
struct FreeClusters {
    int valid;
    int own_fits;     // its own pieces among them sit where the file's order puts them
    uint64_t needed;  // the file's clusters from lo's to hi's
    uint32_t count;
    uint64_t at[free_runs_window];
};

void free_clusters(const image::ImageGeometry* g, const ClaimList* claims, const SoundGap* gap, FreeClusters* out)
{
    uint64_t cs = g->cluster_bytes, heap = g->heap_offset;
    out->valid = 0, out->own_fits = 1, out->count = 0;
    if (gap->lo_image < heap || gap->hi_image <= gap->lo_image || gap->size == 0 || gap->file < gap->lo_file ||
        gap->file > gap->hi_file || gap->hi_file - gap->file < gap->size ||
        (gap->lo_image - heap) % cs != gap->lo_file % cs || (gap->hi_image - heap) % cs != gap->hi_file % cs)
        return;
    uint64_t lc = (gap->lo_image - heap) / cs, hc = (gap->hi_image - heap) / cs, lf = gap->lo_file / cs;
    if (hc - lc >= free_runs_window ||
        !others_in_order(claims, heap, cs, lc, hc, gap->clip, gap->tag, free_runs_window))
        return;
    out->valid = 1;
    out->needed = gap->hi_file / cs - lf + 1;
    uint8_t mine[free_runs_window];
    for (int repeating = 0; repeating < 2 && out->count != out->needed; repeating++) {
        if (repeating && !repeating_runs(claims, heap, cs, gap->clip, gap->tag, lc, hc, 1, mine))
            break;
        out->own_fits = 1, out->count = 0;
        for (uint64_t c = lc; c <= hc; c++) {
            ClusterView v = view_cluster(claims, heap + c * cs, cs, gap->clip, gap->tag);
            if (v.taken || (repeating && !mine[c - lc])) {
                // the two pieces' own clusters are the recording's
                if (c == lc || c == hc)
                    out->own_fits = 0;
                continue;
            }
            if (v.clash || (v.own != UINT64_MAX && v.own != lf + out->count))
                out->own_fits = 0;
            out->at[out->count++] = heap + c * cs;
        }
    }
}

int threads(const FreeClusters* f)
{
    return f->valid && f->own_fits && f->needed <= threaded_clusters_max && f->count == f->needed;
}

int same_gap(const SoundGap* a, const SoundGap* b)
{
    return a->clip == b->clip && a->tag == b->tag && a->file == b->file && a->size == b->size &&
           a->lo_image == b->lo_image && a->hi_image == b->hi_image;
}

// The cluster of the gap's file that free cluster i is: lo's and hi's clusters are the pieces' own,
// and where the free clusters are exactly as many as needed, each is the next of the file's.
// UINT64_MAX when nothing says.
uint64_t file_cluster(const SoundGap* gap, const FreeClusters* f, uint32_t i, uint64_t cs)
{
    if (f->at[i] == gap->lo_image - gap->lo_file % cs)
        return gap->lo_file / cs;
    if (f->at[i] == gap->hi_image - gap->hi_file % cs)
        return gap->hi_file / cs;
    return threads(f) ? gap->lo_file / cs + i : UINT64_MAX;
}

// 1 when gap `ga` would take free cluster j of gap `gb` as well: a cluster both hold as the same
// cluster of one recording's file (the piece between two of its sounds) is taken by neither.
int takes(const SoundGap* ga, const FreeClusters* a, const SoundGap* gb, const FreeClusters* b, uint32_t j, uint64_t cs)
{
    const uint64_t* x = std::find(a->at, a->at + a->count, b->at[j]);
    if (x == a->at + a->count)
        return 0;
    uint64_t fa = file_cluster(ga, a, uint32_t(x - a->at), cs), fb = file_cluster(gb, b, j, cs);
    return ga->clip != gb->clip || ga->tag != gb->tag || fa == UINT64_MAX || fa != fb;
}

int shares(const SoundGap* ga, const FreeClusters* a, const SoundGap* gb, const FreeClusters* b, uint64_t cs)
{
    for (uint32_t j = 0; j < b->count; j++)
        if (takes(ga, a, gb, b, j, cs))
            return 1;
    return 0;
}

// Bytes [file, file + size) of a file whose clusters from `lf` on lie at `cluster_at` (`count` of
// them); 0 when they do not reach the bytes' end or take more cuts than a place holds.
int place_in_clusters(const uint64_t* cluster_at, uint64_t count, uint64_t lf, uint64_t cs, uint64_t file,
                      uint64_t size, ChunkPlace* out)
{
    uint64_t first = file / cs, last = (file + size - 1) / cs;
    if (first < lf || last - lf >= count)
        return 0;
    ChunkPlace p{cluster_at[first - lf] + file % cs, 0, 0};
    for (uint64_t c = first + 1; c <= last; c++) {
        uint64_t at = cluster_at[c - lf], x = c * cs - file;
        if (at != cluster_at[c - lf - 1] + cs && !add_run(&p, x, at))
            return 0;
    }
    *out = p;
    return 1;
}

// The one recording other than `clip` (or `tag`) whose located pieces lie in [begin, end), with its
// kkad tag; 0 when none does or several do.
uint32_t other_writer(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag,
                      uint32_t* other_tag)
{
    uint32_t found = 0;
    *other_tag = 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    uint64_t from = begin > claims->longest ? begin - claims->longest : 0;
    const ClaimedSpan* c =
        std::lower_bound(first, stop, from, [](const ClaimedSpan& x, uint64_t y) { return x.begin < y; });
    for (; c != stop && c->begin < end; c++) {
        if (c->end <= begin || c->clip == 0 || c->tentative != 0 || c->inferred || !of_other(c, clip, tag))
            continue;
        if (found && found != c->clip)
            return 0;
        found = c->clip;
        *other_tag = c->tag ? c->tag : *other_tag;
    }
    return found;
}

// Behind the other recording's last located piece nothing shows its runs: the recording's
// clusters from `at[count]` on up to `needed` are taken only where the runs in front repeat and
// put them all in the run of its last one, in one piece behind it.
int rest_of_run(const ClaimList* claims, uint64_t heap, uint64_t cs, uint32_t clip, uint32_t tag, uint64_t lf,
                uint64_t* at, uint64_t* count, uint64_t needed)
{
    if (*count == 0 || needed - *count >= free_runs_window)
        return 0;
    uint64_t last = (at[*count - 1] - heap) / cs, n = needed - *count;
    uint8_t mine[free_runs_window];
    if (!repeating_runs(claims, heap, cs, clip, tag, last, last + n, 0, mine))
        return 0;
    for (uint64_t k = 0; k <= n; k++) {
        ClusterView v = view_cluster(claims, heap + (last + k) * cs, cs, clip, tag);
        if (!mine[k] || (k && (v.taken || v.clash || (v.own != UINT64_MAX && v.own != lf + *count - 1 + k))))
            return 0;
    }
    for (uint64_t k = 1; k <= n; k++)
        at[(*count)++] = heap + (last + k) * cs;
    return 1;
}

}  // namespace

void note_open_sound(JoinAnchor lo, JoinAnchor hi, uint64_t file, uint64_t size, uint32_t clip, uint32_t tag,
                     SoundGapList* out)
{
    basics::list_append(out, SoundGap{clip, tag, lo.file, lo.image, hi.file, hi.image, file, size, 0, {}});
}

void settle_free_runs(const image::ImageGeometry* geometry, ClaimList* claims)
{
    const SoundGap* gaps = claims->open.items;
    uint64_t n = claims->open.count;
    claims->threaded.count = 0;
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    // as many open as settle_sound_gaps weighs at most
    if (cs == 0 || n > sound_gaps_max) {
        settle_turns(geometry, claims);
        return;
    }
    auto* free = static_cast<FreeClusters*>(basics::xcalloc(n + 1, sizeof(FreeClusters)));
    auto* taken = static_cast<uint8_t*>(basics::xcalloc(n + 1, 1));
    for (uint64_t g = 0; g < n; g++)
        free_clusters(geometry, claims, &gaps[g], &free[g]), taken[g] = threads(&free[g]);
    // a cluster two of them would take: neither does
    auto* drop = static_cast<uint8_t*>(basics::xcalloc(n + 1, 1));
    for (uint64_t g = 0; g < n; g++)
        for (uint64_t h = g + 1; h < n; h++)
            if (taken[g] && taken[h] && !same_gap(&gaps[g], &gaps[h]) && shares(&gaps[g], &free[g], &gaps[h], &free[h], cs))
                drop[g] = drop[h] = 1;
    for (uint64_t g = 0; g < n; g++)
        taken[g] &= !drop[g];
    // every other recording's sound still open keeps as many free clusters as it needs without the
    // ones taken; where it does not, those that took its clusters give them back
    for (int changed = 1; changed;) {
        changed = 0;
        for (uint64_t h = 0; h < n; h++) {
            if (taken[h] || !free[h].valid)
                continue;
            uint64_t left = 0;
            for (uint32_t i = 0; i < free[h].count; i++) {
                int used = 0;
                for (uint64_t g = 0; g < n && !used; g++)
                    used = taken[g] && !same_gap(&gaps[g], &gaps[h]) && takes(&gaps[g], &free[g], &gaps[h], &free[h], i, cs);
                left += !used;
            }
            if (left >= free[h].needed)
                continue;
            for (uint64_t g = 0; g < n; g++)
                if (taken[g] && !same_gap(&gaps[g], &gaps[h]) && shares(&gaps[g], &free[g], &gaps[h], &free[h], cs))
                    taken[g] = 0, changed = 1;
        }
    }
    for (uint64_t g = 0; g < n; g++) {
        if (!taken[g])
            continue;
        const SoundGap* s = &gaps[g];
        ThreadedSound t = {s->clip, s->tag, s->lo_file, s->lo_image, s->hi_file, s->hi_image, s->file, s->size,
                           free[g].count, {}};
        std::copy(free[g].at, free[g].at + free[g].count, t.cluster_at);
        basics::list_append(&claims->threaded, t);
    }
    std::free(drop);
    std::free(taken);
    std::free(free);
    // and the clusters counting gives a file, for the next pass's planners: the sound above is
    // threaded through the clusters the pieces alone leave
    settle_turns(geometry, claims);
}

int room_between(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                 JoinAnchor lo, JoinAnchor hi, RoomClusters* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    out->needed = 0, out->count = 0;
    if (cs == 0 || !claims || lo.image < heap || hi.image <= lo.image || hi.file <= lo.file ||
        (lo.image - heap) % cs != lo.file % cs || (hi.image - heap) % cs != hi.file % cs)
        return 0;
    uint64_t lc = (lo.image - heap) / cs, hc = (hi.image - heap) / cs, lf = lo.file / cs;
    if (hc - lc >= free_runs_window || !others_in_order(claims, heap, cs, lc, hc, clip, tag, free_runs_window))
        return 0;
    out->needed = hi.file / cs - lf + 1;
    for (uint64_t c = lc; c <= hc; c++) {
        ClusterView v = view_cluster(claims, heap + c * cs, cs, clip, tag);
        if (v.clash || (v.taken && (c == lc || c == hc)))
            return 0;
        if (v.taken)
            continue;
        out->own[out->count] = v.own;
        out->at[out->count++] = heap + c * cs;
    }
    return out->count >= out->needed;
}

int threaded_place(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, JoinAnchor lo,
                   JoinAnchor hi, uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    for (uint64_t i = 0; claims && cs && size && i < claims->threaded.count; i++) {
        const ThreadedSound* t = &claims->threaded.items[i];
        if (t->clip != clip || t->hi_image != hi.image || t->hi_file != hi.file || file < lo.file)
            continue;
        // the same clusters hold bytes the sound's first bytes lead (a chunk's open tail settled
        // since, or not yet): lo lies in one of them, where they put it
        uint64_t lf = t->lo_file / cs;
        int same = t->file == file && t->size == size && t->lo_image == lo.image && t->lo_file == lo.file;
        int inside = t->file <= file && file + size <= t->file + t->size && t->lo_file <= lo.file &&
                     lo.file / cs - lf < t->clusters && lo.image >= geometry->heap_offset &&
                     (lo.image - geometry->heap_offset) % cs == lo.file % cs &&
                     t->cluster_at[lo.file / cs - lf] == lo.image - lo.file % cs;
        if (same || inside)
            return place_in_clusters(t->cluster_at, t->clusters, lf, cs, file, size, out);
    }
    return 0;
}

int free_runs_to_end(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                     JoinAnchor lo, uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    if (!claims || cs == 0 || size == 0 || file <= lo.file || lo.image < heap || (lo.image - heap) % cs != lo.file % cs)
        return 0;
    uint64_t lc = (lo.image - heap) / cs, lf = lo.file / cs, needed = (file + size - 1) / cs - lf + 1;
    uint64_t from = lc > free_runs_window ? lc - free_runs_window : 0, to = lc + 2 * free_runs_window;
    // the one other recording in front of lo's cluster; behind it, a later file's pieces are taken
    // clusters like the other's
    uint32_t xtag, x = other_writer(claims, heap + from * cs, heap + (lc + 1) * cs, clip, tag, &xtag);
    if (x == 0 || needed > threaded_clusters_max)
        return 0;
    // the other recording's cluster nearest in front of lo's whose place in its file a piece shows
    uint64_t a = lc, fa = UINT64_MAX;
    for (uint64_t c = lc + 1; c-- > from && fa == UINT64_MAX;) {
        ClusterView v = view_cluster(claims, heap + c * cs, cs, x, xtag);
        if (v.clash || (c == lc && v.mine))
            return 0;
        a = c, fa = v.own;
    }
    if (fa == UINT64_MAX)
        return 0;
    uint64_t at[threaded_clusters_max];
    uint64_t count = 0;
    int past = 0;  // lo's cluster met
    // from one such cluster of the other recording to the next: the clusters between that are not
    // its own are as many as the image has more than its file, and are the recording's; behind its
    // last one, up to where the other's pieces stop, none may be left over (a cluster no file had
    // among them would shift the sound's end)
    for (;;) {
        uint64_t b = a + 1, fb = UINT64_MAX;
        for (; b < to && fb == UINT64_MAX; b++) {
            ClusterView v = view_cluster(claims, heap + b * cs, cs, x, xtag);
            if (v.clash)
                return 0;
            fb = v.own;
        }
        b--;
        if (fb == UINT64_MAX) {
            // lo's cluster behind the other's last located piece: the run it lies in goes on from it
            if (!past && !view_cluster(claims, heap + lc * cs, cs, clip, tag).taken)
                at[count++] = heap + lc * cs, past = 1;
            if (count < needed && !(past && rest_of_run(claims, heap, cs, clip, tag, lf, at, &count, needed)))
                return 0;
            break;
        }
        if (fb <= fa || b - a < fb - fa)
            return 0;
        uint64_t mine = (b - a) - (fb - fa), left = 0, slots = 0;
        if (mine == 0 && past) {
            a = b, fa = fb;  // the other's runs alone, its pieces not located there free
            continue;
        }
        if (count == needed)
            return 0;
        for (uint64_t c = a + 1; c < b; c++)
            left += !view_cluster(claims, heap + c * cs, cs, clip, tag).taken;
        // more clusters free than are the recording's: the other's pieces not located lie among
        // them, and only runs that repeat tell which are whose
        uint8_t fold[free_runs_window];
        int folded = left > mine && repeating_runs(claims, heap, cs, clip, tag, a + 1, b - 1, 0, fold);
        for (uint64_t c = a + 1; folded && c < b; c++)
            slots += fold[c - a - 1] && !view_cluster(claims, heap + c * cs, cs, clip, tag).taken;
        if (left != mine && !(folded && slots == mine))
            return 0;
        for (uint64_t c = a + 1; c < b; c++) {
            ClusterView v = view_cluster(claims, heap + c * cs, cs, clip, tag);
            if (v.taken || (folded && !fold[c - a - 1]) || (!past && c != lc))
                continue;
            past = 1;
            if (count == needed || v.clash || (v.own != UINT64_MAX && v.own != lf + count))
                return 0;
            at[count++] = heap + c * cs;
        }
        if (!past)
            return 0;  // lo's cluster lies between the two pieces' of the other recording
        a = b, fa = fb;
    }
    return place_in_clusters(at, count, lf, cs, file, size, out);
}

}  // namespace salvage
