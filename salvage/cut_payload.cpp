#include "salvage/cut_payload.h"

#include <algorithm>
#include <vector>

#include "basics/byte_order.h"
#include "basics/growable.h"
#include "salvage/cluster_count.h"
#include "salvage/layout_join.h"
#include "salvage/runs_proven.h"

namespace salvage {

namespace {

// The run of `place` that holds byte `x` of the chunk: 0 the head's, i behind the i-th cut.
uint32_t run_index(const ChunkPlace* place, uint64_t x)
{
    if (!place->cut || x < place->cut)
        return 0;
    uint32_t i = 1;
    while (i - 1 < place->later && x >= place->later_cut[i - 1])
        i++;
    return i;
}

// The payload of one sample between its length fields at bytes `x0` and `x1` of the chunk, with
// file clusters between that hold no length field: a cut may hide there as well as the one `place`
// has, and another recording's payload walks as well as the camera's. It lies where `place` puts it
// when it lies in one run; or when the file's clusters between the two are exactly the ones between
// their image clusters that no other recording's piece holds (the file takes its clusters in the
// heap's order); or when each of its clusters is shown: by a located piece of the recording, by the
// located piece that placed its run, or by the count of the clusters around the chunk (`own_file`,
// which `counted` says is filled).
int payload_shown(const PlacedChunk* s, const ChunkPlace* place, uint64_t x0, uint64_t x1,
                  const std::vector<uint64_t>& own_file, int counted)
{
    if (place_run_end(place, x0, x1 + 1) > x1)
        return 1;
    const uint64_t cs = s->cs, heap = s->geometry->heap_offset, n = s->heap_clusters;
    const uint64_t ua = (s->file + x0) / cs, ub = (s->file + x1) / cs, need = ub - ua - 1;
    uint64_t ia = (place_offset(place, x0) - heap) / cs, ib = (place_offset(place, x1) - heap) / cs;
    if (ia >= n || ib >= n)
        return 0;
    // the clusters between in the heap's order that no other recording's piece holds
    uint64_t between = ib > ia ? ib - ia - 1 : ib + n - ia - 1, free = 0, in_order = 1, prev = 0;
    for (uint64_t k = 1; k <= between && free <= need && k <= count_clusters_max; k++) {
        uint64_t c = heap + ((ia + k) % n) * cs;
        uint64_t held;
        if (!s->window || !s->window->claims ||
            !first_foreign(s->window->claims, c, c + cs, s->window->clip, s->window->tag, &held))
            free++;
    }
    for (uint64_t u = ua + 1; u < ub && in_order; u++) {
        uint64_t i = (place_offset(place, u * cs - s->file) - heap) / cs, k = i > ia ? i - ia : i + n - ia;
        in_order = k > prev && k <= between, prev = k;
    }
    if (between <= count_clusters_max && free == need && in_order)
        return 1;
    // one cut between, and the runs on either side no longer than the file's runs are shown to be
    uint64_t cut = place_run_end(place, x0, x1 + 1);
    if (s->window && place_run_end(place, cut, x1 + 1) > x1 &&
        runs_proven(s->geometry, s->window->claims, s->window->clip, s->window->tag,
                    JoinAnchor{s->file + x0, place_offset(place, x0)}, JoinAnchor{s->file + x1, place_offset(place, x1)},
                    s->file + cut))
        return 1;
    const CountedStretch* stretch = s->window ? s->window->count : nullptr;
    for (uint64_t u = ua + 1; u < ub; u++) {
        uint64_t x = u * cs - s->file, at = place_offset(place, x), i = (at - heap) / cs;
        uint32_t r = run_index(place, x);
        if (s->run_to[r] && s->file + x <= s->run_to[r])
            continue;
        if (counted && i >= stretch->first && i - stretch->first < own_file.size() && own_file[i - stretch->first] == u)
            continue;
        if (!own_piece_shows(s, at, u))
            return 0;
    }
    return 1;
}

}  // namespace

// 1 when the recording's located piece in the cluster at image offset `at` shows the file's cluster
// `u` there.
int own_piece_shows(const PlacedChunk* s, uint64_t at, uint64_t u)
{
    const ClaimList* claims = s->window ? s->window->claims : nullptr;
    if (!claims)
        return 0;
    const uint64_t heap = s->geometry->heap_offset, cs = s->cs;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    const ClaimedSpan* c = std::lower_bound(first, stop, at > claims->longest ? at - claims->longest : 0,
                                            [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    for (; c != stop && c->begin < at + cs; c++) {
        int own = c->clip == s->window->clip || (s->window->tag && c->tag == s->window->tag);
        if (c->end <= at || !own || c->tentative || c->inferred || c->by_room || c->file == UINT64_MAX ||
            c->begin < heap || (c->begin - heap) % cs != c->file % cs)
            continue;
        uint64_t x = std::max(c->begin, at);
        if ((c->file + (x - c->begin)) / cs == u)
            return 1;
    }
    return 0;
}

int payload_placed(const PlacedChunk* s, const ChunkPlace* place, uint64_t upto)
{
    const uint64_t cs = s->cs;
    std::vector<uint64_t> own_file;
    int counted = -1;  // not yet
    basics::Growable<ClaimedSpan, 16> fields{};
    uint64_t last = UINT64_MAX;  // the byte of the last length field met
    int shown = 1;
    for (int pass = 0; pass < 2 && shown; pass++) {
        // the first pass gathers the clusters the length fields lie in, for the count
        last = UINT64_MAX;
        for (uint64_t i = 0; i < s->count && s->starts[i] < upto && shown; i++) {
            const uint64_t b = s->starts[i], len = std::min(s->starts[i + 1], upto) - b;
            for (uint64_t pos = 0; pos + 4 <= len && shown; pos += 4 + basics::load_be32(s->bytes + b + pos)) {
                for (uint64_t x : {b + pos, b + pos + 3}) {
                    if (pass == 0) {
                        uint64_t at = place_offset(place, x);
                        basics::list_append(&fields, ClaimedSpan{at, at + 1, s->window ? s->window->clip : 0,
                                                                 s->window ? s->window->tag : 0, 0, s->file + x});
                    } else if (last != UINT64_MAX && (s->file + x) / cs > (s->file + last) / cs + 1) {
                        if (counted < 0)
                            counted = s->window && s->window->count &&
                                      count_own_files(s->window->count, fields.items, fields.count, &own_file);
                        shown = payload_shown(s, place, last, x, own_file, counted);
                    }
                    last = x;
                }
            }
        }
    }
    basics::list_free(&fields);
    return shown;
}

}  // namespace salvage
