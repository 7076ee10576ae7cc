#include "salvage/cut_join.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "analysis/analysis_types.h"
#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "salvage/cut_payload.h"
#include "salvage/damaged_chunk.h"
#include "salvage/join_ways.h"
#include "salvage/layout_join.h"
#include "salvage/run_witness.h"

namespace salvage {

namespace {

int first_foreign_of(const JoinWindow* w, uint64_t begin, uint64_t end)
{
    uint64_t at;
    return first_foreign(w->claims, begin, end, w->clip, w->tag, &at);
}

int first_foreign_of_at(const JoinWindow* w, uint64_t begin, uint64_t end, uint64_t* at)
{
    return first_foreign(w->claims, begin, end, w->clip, w->tag, at);
}

}  // namespace

namespace {

// The search for the runs of a chunk cut one or more times, cut after cut, depth first.
struct CutSearch {
    std::FILE* src;
    const image::ImageGeometry* geometry;
    uint64_t image_size;
    uint64_t cs;
    uint64_t file;
    uint64_t size;
    uint64_t count;           // samples
    const uint64_t* starts;   // each sample's first byte in the chunk, and the chunk's size
    codec::Syntax syntax;
    const JoinAnchor* anchors;
    uint64_t anchor_count;
    const JoinWindow* window;
    uint8_t* bytes;           // the chunk as placed so far
    ChunkPlace place;         // being built
    ChunkPlace found;
    int proven;
    int ambiguous;
    uint64_t reads;
    // the chunk placed up to the open tail of its last sample, when such places are wanted
    int want_open;
    ChunkPlace open;
    uint64_t open_from;  // 0: none found
    int open_ambiguous;
    // every way that walks, when the bytes all ways agree on are wanted (null: the search ends at
    // the second way)
    WaysAgreed* ways;
    int exhausted;   // the reads ran out: ways may be missed
    int unbounded;   // a look behind a cut reached less far than the run going on may begin
    uint64_t reach_far;  // the furthest look behind a cut past reach_max, in clusters
    // per run of the place being built (0 the head's): how far in the file the located piece that
    // placed it shows it unbroken (0: none)
    uint64_t run_to[place_cuts_max];
    int found_shown;  // the payload of the way found lies where the structure shows it
    // every way that walks, for the decoder to judge (null: not wanted), and whether there were
    // more than join_ways_judged
    basics::Growable<ChunkPlace, 4>* all = nullptr;
    int too_many = 0;
};

uint64_t heap_clusters(const CutSearch* s);

// The chunk as the payload check sees it.
PlacedChunk placed_chunk(const CutSearch* s)
{
    return PlacedChunk{s->geometry, heap_clusters(s), s->cs, s->file, s->count, s->starts, s->bytes, s->window, s->run_to};
}

int stopped(const CutSearch* s)
{
    return s->exhausted || (s->ambiguous && !s->ways);
}

// The sample that holds byte `x` of the chunk.
uint64_t sample_holding(const CutSearch* s, uint64_t x)
{
    return uint64_t(std::upper_bound(s->starts, s->starts + s->count + 1, x) - s->starts) - 1;
}

// A run placed by an anchor whose length the file's runs do not show: it must hold a whole sample.
constexpr int anchored_unshown = 2;

// The run at `at` from byte `from` of the chunk, `have` bytes of it the card gives as the
// recording's, holds the start of the chunk's last sample up to the first cluster edge past its
// last unit's length field, and those bytes walk as the camera writes them: the rest of that
// unit is payload no walk can place. The place so far is noted with that edge, the start of the
// chunk's open tail; two such places that differ leave it open where the tail begins.
void note_open_tail(CutSearch* s, uint64_t from, uint64_t at, uint32_t depth, uint64_t have, uint64_t before)
{
    uint64_t last = s->count - 1, b = s->starts[last], len = s->size - b;
    if (!s->want_open || b < from || from + have < b + 5)
        return;
    uint64_t known = std::min(len, from + have - b), pos = 0, unit = 0, shown = 0;
    const uint8_t* sample = s->bytes + b;
    if (!image::read_at(s->src, at + (b - from), s->bytes + b, known))
        return;
    // the length fields lead to the last unit's, and the edge behind it ends what they show
    while (pos < len && known - std::min(pos, known) >= 4)
        unit = pos, pos += 4 + basics::load_be32(sample + pos);
    uint64_t edge = ((s->file + b + unit + 4) / s->cs + 1) * s->cs - s->file;
    if (pos != len || edge >= s->size || edge > from + have || (before && edge > before) ||
        !codec::units_shown(sample, edge - b, len, s->syntax, &shown) || shown != unit)
        return;
    ChunkPlace place = s->place;
    if (depth == 0)
        place.cut = 0, place.tail = 0;
    place.later = depth > 1 ? depth - 1 : 0;
    if (s->open_from && (s->open_from != edge || !same_place(&s->open, &place)))
        s->open_ambiguous = 1;
    // a place whose payload no structure shows may be the camera's or not: none is taken
    PlacedChunk chunk = placed_chunk(s);
    if (!payload_placed(&chunk, &place, edge))
        s->open_ambiguous = 1;
    s->open = place, s->open_from = edge;
}

void search_runs(CutSearch* s, uint64_t from, uint64_t at, uint32_t depth, int anchored, uint64_t before);

uint64_t reach_max(const CutSearch* s);

// Runs read for a chunk: join_reads_max, scaled by how far the look behind a cut reaches.
uint64_t reads_max(const CutSearch* s)
{
    return join_reads_max * (std::max(reach_max(s), s->reach_far) / join_reach_max);
}

// 1 unless the located pieces show that the bytes of the file from `cut` up to anchor `y` do not lie
// in one run: another recording's piece between the two places, or one of the recording's own
// whose file offset puts it elsewhere in the file. A run placed by a piece far behind the cut
// holds the rest of the chunk only when the file runs unbroken up to it; the bytes of a sample's
// tail without a unit boundary in them walk anywhere.
int one_run_to(const CutSearch* s, uint64_t cut, JoinAnchor y)
{
    const ClaimList* claims = s->window ? s->window->claims : nullptr;
    if (!claims || y.file - cut > y.image)
        return 1;
    uint64_t begin = y.image - (y.file - cut);
    if (first_foreign_of(s->window, begin, y.image))
        return 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    const ClaimedSpan* c = std::lower_bound(first, stop, begin > claims->longest ? begin - claims->longest : 0,
                                            [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    for (; c != stop && c->begin < y.image; c++) {
        if (c->end <= begin || c->tentative || c->file == UINT64_MAX || c->begin < begin)
            continue;
        if (c->file < cut || c->file - cut != c->begin - begin)
            return 0;
    }
    return 1;
}

// The heap's clusters that the image holds whole: a file system's allocator that reaches the last
// goes on at the first.
uint64_t heap_clusters(const CutSearch* s)
{
    uint64_t heap = s->geometry->heap_offset;
    return s->image_size > heap ? (s->image_size - heap) / s->cs : 0;
}

// The image offset of the cluster `j` clusters behind the one that begins at `edge`, round the
// heap's end; UINT64_MAX when that is `edge`'s own run going on, or off the heap.
uint64_t heap_cluster_after(const CutSearch* s, uint64_t edge, uint64_t j)
{
    uint64_t n = heap_clusters(s), heap = s->geometry->heap_offset;
    if (edge < heap || (edge - heap) % s->cs || (edge - heap) / s->cs > n || j >= n)
        return UINT64_MAX;
    uint64_t h = (edge - heap) / s->cs, c = h + j;
    if (c >= n)
        c -= n;
    else if (j == 0)
        return UINT64_MAX;  // the run in front goes on: its walk already read on
    return c == h ? UINT64_MAX : heap + c * s->cs;
}

// Clusters behind a cut that a look for the run going on reaches: join_reach_max, or as many as the
// chunk spans on the card where that is more.
uint64_t reach_max(const CutSearch* s)
{
    return std::max(join_reach_max, 2 * (s->size / s->cs + 1));
}

// How many clusters behind the cut at byte `x` of the chunk, whose run ends at image offset
// `head_end`, the run that goes on may begin. The file takes its clusters in the heap's order, round
// its end, so the bytes from the cut up to the recording's next located piece need as many
// clusters in front of that piece's: the run begins no further on than where the piece's run
// would put the cut. Without such a piece, or with one too far on, join_window_clusters.
uint64_t window_reach(CutSearch* s, uint64_t x, uint64_t head_end)
{
    uint64_t n = heap_clusters(s), heap = s->geometry->heap_offset, cut = s->file + x, reach = UINT64_MAX;
    if (head_end < heap || (head_end - heap) / s->cs > n)
        return s->unbounded = 1, join_window_clusters;
    uint64_t h = (head_end - heap) / s->cs;
    for (uint64_t a = 0; a < s->anchor_count && a < join_anchors_tried; a++) {
        const JoinAnchor& y = s->anchors[a];
        if (y.file < cut || y.image < heap || (y.image - heap) / s->cs >= n)
            continue;
        // the anchor's cluster less the file's clusters from the cut's up to it, round the heap
        uint64_t back = y.file / s->cs - cut / s->cs, yc = (y.image - heap) / s->cs;
        if (back >= n)
            continue;
        uint64_t bound = yc >= back ? yc - back : yc + n - back;
        reach = std::min(reach, bound >= h ? bound - h : bound + n - h);
    }
    if (reach <= join_spread_max * reach_max(s)) {
        s->reach_far = std::max(s->reach_far, reach);
        return reach;
    }
    s->unbounded = 1;
    return join_window_clusters;
}

// 1 unless the count of the clusters around the chunk shows that no way of sharing them out puts
// the chunk's bytes up to `end` where the place being built has them.
int count_allows(const CutSearch* s, uint64_t end)
{
    const CountedStretch* stretch = s->window ? s->window->count : nullptr;
    if (!stretch)
        return 1;
    uint32_t clip = s->window->clip, tag = s->window->tag;
    basics::Growable<ClaimedSpan, 16> runs{};
    for (uint64_t from = 0, to; from < end; from = to) {
        to = place_run_end(&s->place, from, end);
        uint64_t at = place_offset(&s->place, from);
        basics::list_append(&runs, ClaimedSpan{at, at + (to - from), clip, tag, 0, s->file + from});
    }
    int fits = count_fits_with(stretch, runs.items, runs.count);
    basics::list_free(&runs);
    return fits != 0;
}

// The first byte of the first cluster of the run from byte `from` of the chunk up to its end that
// the count of the clusters around the chunk puts elsewhere than the place being built has it; 0
// when the count allows them all. Each cluster more can only narrow the count, so the first is
// looked for by halves.
uint64_t count_refuses(const CutSearch* s, uint64_t from)
{
    if (!s->window || !s->window->count || count_allows(s, s->size))
        return 0;
    uint64_t first = (s->file + from) / s->cs, last = (s->file + s->size - 1) / s->cs;
    // the clusters up to `lo` allowed, up to `hi` not
    uint64_t lo = first, hi = last;
    if (!count_allows(s, std::min(s->size, (first + 1) * s->cs - s->file)))
        return from;
    while (hi - lo > 1) {
        uint64_t mid = lo + (hi - lo) / 2;
        if (count_allows(s, std::min(s->size, (mid + 1) * s->cs - s->file)))
            lo = mid;
        else
            hi = mid;
    }
    return hi * s->cs - s->file;
}

int anchors_allow(const CutSearch* s, uint64_t from, uint64_t at, uint64_t* have);

// The bytes of the chunk from `from` on that the run at `at` may hold, in `have`: up to the card's
// end or its first unknown byte, another recording's located piece, or a cluster a located piece
// of the recording shows holds other bytes of its file; 0 when the run's first cluster is such.
int run_room(const CutSearch* s, uint64_t from, uint64_t at, uint64_t* have)
{
    if (at > s->image_size)
        return 0;
    uint64_t room = s->size - from < s->image_size - at ? s->size - from : s->image_size - at;
    room = image::card_known_until(s->src, at, at + room) - at;
    // a run ends where another recording's located piece begins
    uint64_t held = 0;
    if (s->window && first_foreign_of_at(s->window, at, at + room, &held))
        room = held - at;
    if (!anchors_allow(s, from, at, &room))
        return 0;
    *have = room;
    return 1;
}

// 1 when the run at `at`, from byte `from` of the chunk on (`have` bytes of it the recording's as
// far as the card shows), cannot hold the rest of the sample the cut at `from` lies in as the camera
// wrote it, so that no sample of it shows the run: the sample does not end inside the run, or the
// first unit boundary behind the cut, where the length fields in front of it put it, holds no
// length field that could be the camera's (a delimiter where the sample begins at the cut). A few
// bytes read instead of the sample's rest: what the walk of the run would find first.
int crossing_refuted(const CutSearch* s, uint64_t from, uint64_t at, uint64_t have)
{
    uint64_t i = sample_holding(s, from), b = s->starts[i], end = s->starts[i + 1], n = end - b;
    int hevc = s->syntax == codec::Syntax::hevc;
    uint8_t field[6];
    if (b == from)
        return have >= 5 && image::read_at(s->src, at, field, 5) && !codec::starts_with_delimiter(field, hevc);
    if (end > from + have)
        return 1;
    // the length fields in front of the cut lead to the first boundary behind it
    uint64_t pos = 0;
    while (b + pos < from) {
        if (b + pos + 4 > from)
            return 0;  // a length field across the cut: the walk reads it
        uint64_t unit = basics::load_be32(s->bytes + b + pos);
        if (unit == 0 || unit > n - pos - 4)
            return 1;
        pos += 4 + unit;
    }
    uint64_t header = hevc ? 2 : 1;
    if (pos >= n || n - pos < 4 + header)
        return 0;
    if (!image::read_at(s->src, at + (b + pos - from), field, 4 + header))
        return 0;
    uint64_t unit = basics::load_be32(field);
    return unit == 0 || unit > n - pos - 4 || !codec::unit_header_ok(field + 4, unit, s->syntax);
}

// Cut `depth` at byte `x` of the chunk, the rest going on at image offset `c`.
// `anchor` (null: none) the located piece whose place puts the run at `c`: a run that holds no whole
// sample of the chunk is only as sure as the run from the cut to that piece is shown to be.
void try_run(CutSearch* s, uint64_t from, uint64_t at, uint32_t depth, uint64_t x, uint64_t c, const JoinAnchor* anchor)
{
    int anchored = anchor ? 1 : 0;
    if (c > s->image_size || !on_same_edge(s->geometry, c, s->file + x) || place_overlaps(&s->place, depth, c, s->cs) ||
        (s->window && s->window->claims && !anchored && first_foreign_of(s->window, c, c + s->cs)))
        return;
    if (depth == 0) {
        s->place.cut = x, s->place.tail = c, s->place.later = 0;
    } else {
        s->place.later_cut[depth - 1] = x, s->place.later_at[depth - 1] = c;
        s->place.later = depth;
    }
    // a run no sample shows is the chunk's where the layout of the two files puts it
    if (!anchor && s->anchor_count &&
        layout_puts_run(s->geometry, s->image_size, s->window, at + (x - from), s->file + x, c, s->anchors[0]))
        anchored = 1;
    // the run from the cut to the anchor no longer than the file's runs are shown to be there
    if (anchor && s->window &&
        !runs_proven(s->geometry, s->window->claims, s->window->clip, s->window->tag,
                     JoinAnchor{s->file + x - 1, at + (x - from) - 1}, *anchor, s->file + x))
        anchored = anchored_unshown;
    // a run that must show a sample of the chunk, refuted by a few bytes, costs no read and no count
    uint64_t have = 0;
    if (anchored != 1 && (!run_room(s, x, c, &have) || crossing_refuted(s, x, c, have)))
        return;
    // the runs so far and the new run's first cluster as the count of the clusters around allows
    if (!count_allows(s, std::min(s->size, ((s->file + x) / s->cs + 1) * s->cs - s->file)))
        return;
    s->run_to[depth + 1] = anchor && anchored == 1 ? anchor->file : 0;
    search_runs(s, x, c, depth + 1, anchored, 0);
}

// How far the run at `at` from byte `from` of the chunk may go, at most `have` bytes: a cluster
// holds one stretch of the file, and a located piece of the recording whose file offset is known
// says which stretch its cluster holds. Bytes the run would put elsewhere end it at that cluster's
// first byte in the file; 0 when the run's own first cluster is that one. Another recording's
// bytes can walk as well as the camera's where the two files were written alike.
int anchors_allow(const CutSearch* s, uint64_t from, uint64_t at, uint64_t* have)
{
    uint64_t lo = s->file + from;
    for (uint64_t a = 0; a < s->anchor_count && a < join_anchors_tried; a++) {
        const JoinAnchor& y = s->anchors[a];
        if (!on_same_edge(s->geometry, y.image, y.file))
            continue;
        uint64_t f0 = y.file / s->cs * s->cs, i0 = y.image - (y.file - f0), first = std::max(f0, lo);
        if (f0 + s->cs <= lo || f0 >= lo + *have || at + (first - lo) == i0 + (first - f0))
            continue;
        if (first == lo)
            return 0;
        *have = first - lo;
    }
    return 1;
}

// The chunk's bytes from `from` on lie at `at` as far as no cut follows: its samples are walked
// there, and the cut that ends the run is looked for among the cluster edges where they fail.
void search_runs(CutSearch* s, uint64_t from, uint64_t at, uint32_t depth, int anchored, uint64_t before)
{
    if (stopped(s)) {
        s->ambiguous = 1, s->exhausted = 1;
        return;
    }
    uint64_t have = 0;
    if (!run_room(s, from, at, &have))
        return;
    if (++s->reads > reads_max(s)) {
        s->ambiguous = 1, s->exhausted = 1;
        return;
    }
    uint64_t first = sample_holding(s, from), i = first, witness = 0, shown = 0, got = from;
    // the run is read sample by sample as the walk goes: a wrong run costs a sample or two
    for (; i < s->count; i++) {
        uint64_t b = s->starts[i], n = s->starts[i + 1] - b;
        if (s->starts[i + 1] > from + have ||
            !image::read_at(s->src, at + (got - from), s->bytes + got, s->starts[i + 1] - got))
            break;
        got = s->starts[i + 1];
        if (!sample_intact(s->bytes + b, n, s->syntax))
            break;
        if (!witness)
            witness = run_witness(s->bytes + b, n, b, from, s->syntax == codec::Syntax::hevc, &shown);
    }
    // or the start of the sample that fails, its last unit's payload cut short
    uint64_t b = i < s->count ? s->starts[i] : 0, end = i < s->count ? std::min(s->starts[i + 1], from + have) : 0;
    if (!witness && b >= from && end > b &&
        (end <= got || image::read_at(s->src, at + (got - from), s->bytes + got, end - got)))
        witness = run_witness_cut(s->bytes + b, end - b, s->starts[i + 1] - b, b, s->file + b, s->cs,
                                  s->syntax, &shown);
    // a run only the look behind the cut found shows a sample of the chunk (run_witness)
    if (depth > 0 && anchored != 1 && !witness)
        return;
    uint64_t lo, hi;
    // every sample walks, but the count puts a cluster of the run elsewhere: payload no length
    // field vouches for goes on over a cut there, which lies in front of that cluster (and the
    // chunk's open tail, where the last sample's payload alone lies behind it, begins there too)
    uint64_t refused = i == s->count ? count_refuses(s, from) : 0;
    uint64_t open_before = refused > from && (!before || refused < before) ? refused : before;
    if (i + 1 == s->count || (i == s->count && open_before))
        note_open_tail(s, from, at, depth, have, open_before);
    if (refused && refused <= from)
        return;
    if (refused && (!before || refused < before))
        before = refused;
    if (i == s->count) {
        if (depth > 0 && !refused) {
            if (s->proven && !same_place(&s->found, &s->place))
                s->ambiguous = 1;  // two ways fit: the structure does not tell which is the camera's
            s->found = s->place, s->proven = 1;
            PlacedChunk chunk = placed_chunk(s);
            s->found_shown = payload_placed(&chunk, &s->place, s->size);
            if (s->ways)
                ways_note(s->ways, &s->place);
            int noted = 0;  // the same way reached again by another look
            for (uint64_t w = 0; s->all && w < s->all->count && !noted; w++)
                noted = same_place(&s->all->items[w], &s->place);
            if (s->all && !noted && s->all->count == join_ways_judged)
                s->too_many = 1;
            else if (s->all && !noted)
                basics::list_append(s->all, s->place);
            return;
        }
        if (before == 0 || before >= s->size)
            return;  // whole in the head run: nothing to join
        // every sample walks whole in the head run, but the bytes from `before` on are another
        // recording's: the cut lies in front of them
        i = sample_holding(s, before);
        lo = i > 0 ? s->starts[i - 1] : 0, hi = before + 1;
    } else {
        // the cut lies in the sample that fails, or in the last unit of the one before it
        lo = i > first ? s->starts[i - 1] : from, hi = s->starts[i + 1];
        if (before && before < hi)
            hi = before + 1;
    }
    if (depth + 1 >= place_cuts_max)
        return;
    // no sample is cut twice, and a run found by looking keeps what showed it
    uint64_t least = s->starts[first] < from ? s->starts[first + 1] : from + 1;
    if (!anchored && depth > 0 && shown > least)
        least = shown;
    if (lo < least)
        lo = least - 1;
    uint64_t cs = s->cs;
    for (uint64_t x = ((s->file + lo) / cs + 1) * cs - s->file; x < hi && x < s->size && x <= from + have; x += cs) {
        uint64_t head_end = at + (x - from);
        // the bytes of the sample the cut lies in, in front of it, as this run holds them: a search
        // from an earlier edge overwrote them, and the searches behind this cut write only behind it
        uint64_t back = std::max(s->starts[sample_holding(s, x)], from);
        if (!image::read_at(s->src, at + (back - from), s->bytes + back, x - back))
            continue;
        for (uint64_t a = 0; a < s->anchor_count && a < join_anchors_tried && !stopped(s); a++) {
            const JoinAnchor& y = s->anchors[a];
            if (y.file >= s->file + x && y.file - (s->file + x) <= y.image && y.image - (y.file - (s->file + x)) != head_end &&
                one_run_to(s, s->file + x, y))
                try_run(s, from, at, depth, x, y.image - (y.file - (s->file + x)), &y);
        }
        uint64_t reach = s->window ? window_reach(s, x, head_end) : 0;
        for (uint64_t j = 0; j <= reach && !stopped(s); j++) {
            uint64_t c = heap_cluster_after(s, head_end, j);
            if (c != UINT64_MAX)
                try_run(s, from, at, depth, x, c, nullptr);
        }
        if (stopped(s))
            return;
    }
}

}  // namespace

int join_video_chunk(std::FILE* src, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                     uint64_t head, const mp4::SampleSizes* sizes, codec::Syntax syntax, const JoinAnchor* anchors,
                     uint64_t anchor_count, uint64_t before, const JoinWindow* window, ChunkPlace* out, uint64_t* open,
                     basics::Growable<ClaimedSpan, 16>* sure, basics::Growable<ChunkPlace, 4>* walks)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, size = 0;
    for (uint64_t i = 0; i < sizes->count; i++)
        size += mp4::sample_size_at(sizes, i);
    if (cs == 0 || size == 0 || size > analysis::max_sample_bytes || !on_same_edge(geometry, head, file) ||
        head > image_size || file > UINT64_MAX - size)
        return 0;
    auto* starts = static_cast<uint64_t*>(basics::xcalloc(sizes->count + 1, sizeof(uint64_t)));
    for (uint64_t i = 0; i < sizes->count; i++)
        starts[i + 1] = starts[i] + mp4::sample_size_at(sizes, i);
    CutSearch s{src, geometry, image_size, cs, file, size, sizes->count, starts, syntax, anchors, anchor_count, window,
                static_cast<uint8_t*>(basics::xmalloc(size)), ChunkPlace{}, ChunkPlace{}, 0, 0, 0, open != nullptr,
                ChunkPlace{}, 0, 0, nullptr, 0, 0, 0, {}, 0};
    WaysAgreed ways = ways_start(file, size, cs);
    if (sure && window)
        s.ways = &ways;
    if (s.ways && walks)
        s.all = walks;
    s.place.at = head;
    search_runs(&s, 0, head, 0, 1, before);
    // all ways found within the bounds: what they agree on is the recording's whichever is the camera's
    // up to the first cluster edge behind the last sample's head
    uint64_t upto = std::min(size, ((file + starts[sizes->count - 1]) / cs + 1) * cs - file);
    if (s.ways && s.ambiguous && !s.exhausted && !s.unbounded)
        ways_sure(&ways, upto, window->clip, window->tag, sure);
    ways_free(&ways);
    int proven = s.proven && !s.ambiguous && s.found_shown;
    // the ways are handed on only when they are all the bounds allow
    if (walks && (!s.ambiguous || s.exhausted || s.unbounded || s.too_many))
        basics::list_free(walks);
    if (proven) {
        *out = s.found;
        out->at = head;
        if (open)
            *open = 0;
    } else if (open && !s.proven && !s.ambiguous && s.open_from && !s.open_ambiguous) {
        // no way of placing the whole chunk, one of placing all but its open tail
        *out = s.open;
        out->at = head;
        *open = s.open_from;
        proven = 1;
    }
    std::free(s.bytes);
    std::free(starts);
    return proven;
}

}  // namespace salvage
