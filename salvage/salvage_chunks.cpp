#include "salvage/salvage_chunks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "salvage/chunk_descriptions.h"
#include "salvage/chunk_sound.h"
#include "salvage/cut_join.h"
#include "salvage/damaged_chunk.h"
#include "salvage/last_chunk.h"
#include "salvage/sample_heads.h"
#include "analysis/chunk_locate.h"
#include "analysis/fingerprint_map.h"
#include "salvage/sample_walk.h"
#include "salvage/stream_clock.h"
#include "analysis/window_reuse.h"
#include "codec/nal_units.h"
#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/read_at.h"

namespace salvage {

using namespace analysis;

namespace {


uint64_t chunk_bytes(const SalvageChunk* c)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < c->samples; i++)
        total += c->sizes[i];
    return total;
}

uint64_t chunk_end(const SalvageChunk* c) { return salvage_chunk_offset(c, chunk_bytes(c)); }

// Where the chunk the camera wrote ends, kept samples or not: there its sound begins.
uint64_t whole_bytes(const SalvageChunk* c) { return c->full_bytes ? c->full_bytes : chunk_bytes(c); }
uint64_t full_end(const SalvageChunk* c) { return salvage_chunk_end(c); }

struct Walked {
    SalvageChunk chunk;
    uint32_t stop;
    int ok;
};

// The chunk that starts at `at`, its units followed no further than `limit`.
Walked walk_chunk(const RecordingScope* r, uint64_t at, uint64_t limit)
{
    Walked w = {};
    SampleWalk walk;
    if (!walk_samples(r->image, r->image_size, at, limit, video_format(r->hevc), camera_chunk_samples, w.chunk.sizes,
                      &walk))
        return w;
    w.chunk.image_offset = at;
    w.chunk.samples = uint32_t(walk.samples);
    w.stop = walk.stop;
    w.ok = 1;
    return w;
}

// Searching back from a known chunk: the chunk that ends exactly `between` bytes before it,
// starting at or after `from`. A walk that stops short of the end skips the delimiters it passed.
int chunk_ending_at(const RecordingScope* r, uint64_t from, uint64_t end, SalvageChunk* out)
{
    uint64_t at;
    while (from < end && find_delimiter(r, from, end, &at)) {
        Walked w = walk_chunk(r, at, end);
        if (w.ok && w.chunk.samples == camera_chunk_samples && w.stop == walk_at_limit) {
            *out = w.chunk;
            out->end_confirmed = 1;
            return 1;
        }
        from = w.ok && w.stop != walk_at_limit ? chunk_end(&w.chunk) + 1 : at + 1;
        if (w.ok && w.stop == walk_at_limit)
            return 0;  // the chunk's first samples are not there
    }
    return 0;
}

struct Chain {
    const RecordingScope* r;
    uint64_t between;
    SalvageChunkList* chunks;
    uint64_t to_box;  // from a chunk's end to the kkad box that describes it, in one run; 0 unknown
    uint64_t box_to_chunk;  // from the kkad box in front of a chunk to the chunk; 0 unknown
    const OthersPieces* others;  // the other recordings' located pieces; null: none known
    const Described* last_described = nullptr;  // the last description the chain has passed
    uint64_t lead_box = 0;  // the recording's first kkad box, in the metadata in front of its first chunk; 0: none
};

SalvageChunk* last_chunk(Chain* c) { return c->chunks->count ? &c->chunks->items[c->chunks->count - 1] : nullptr; }

// Where the chunk behind the kkad box at `box` starts when no fragment boundary lies between
// them (0: unknown); `sure` is 1 when the box's cluster holds the start, so that none can.
uint64_t behind_box(const Chain* c, uint64_t box, int* sure)
{
    const image::ImageGeometry* g = c->r->geometry;
    uint64_t at = box + c->box_to_chunk;
    *sure = box && g && g->cluster_bytes && box >= g->heap_offset &&
            (box - g->heap_offset) / g->cluster_bytes == (at - g->heap_offset) / g->cluster_bytes;
    return box && c->box_to_chunk ? at : 0;
}

// Where the chunk behind `prev` starts: behind the kkad box in front of it where its cluster
// holds the start, else the interleave's distance behind `prev`.
uint64_t next_start(const Chain* c, const SalvageChunk* prev)
{
    int sure;
    uint64_t at = behind_box(c, prev->box, &sure);
    return at && sure ? at : full_end(prev) + c->between;
}

// A chunk whose twelfth sample ended where the units stopped makes sense only when the camera's
// next chunk follows at the interleave's distance; without that the twelfth is left out.
void settle_open_end(Chain* c, int confirmed)
{
    SalvageChunk* last = last_chunk(c);
    if (!last || !last->open_end)
        return;
    last->open_end = 0;
    if (confirmed) {
        last->end_confirmed = 1;
    } else {
        last->samples--;
        last->full_bytes = 0;
    }
}

// The file offset of the chunk that starts at image offset `at`, the interleave's `between` behind
// `from` in the camera's file. At a 1001 rate the sound in between is a sound frame longer or
// shorter than the usual: of the three distances, the one that puts the chunk where `at` lies in
// its cluster (a frame is far less than a cluster, so at most one does). 0 when none does.
uint64_t file_behind(const RecordingScope* r, uint64_t from, uint64_t between, uint64_t at)
{
    const image::ImageGeometry* g = r->geometry;
    uint64_t frame = pcm_frame_bytes(r->pcm);
    if (!g || g->cluster_bytes == 0 || at < g->heap_offset)
        return from + between;
    for (uint64_t d : {between, between + frame, between - frame})
        if (d <= between + frame && (from + d) % g->cluster_bytes == (at - g->heap_offset) % g->cluster_bytes)
            return from + d;
    return 0;
}

// Walks chunk after chunk from `at` as long as whole chunks are there and end before `limit`;
// returns where the next one would start. A chunk cut short ends the walk (kept only when
// `keep_partial`: what stands before the end of the image).
uint64_t walk_forward(Chain* c, uint64_t at, uint64_t limit, int keep_partial, int* reached)
{
    *reached = 0;
    while (at < limit) {
        Walked w = walk_chunk(c->r, at, limit);
        if (!w.ok)
            break;  // whether the last chunk's open end holds is for the caller to settle
        settle_open_end(c, 1);
        int whole = w.chunk.samples == camera_chunk_samples;
        // a limit that is the next known chunk's start confirms the end; the image end does not
        int at_known_limit = w.stop == walk_at_limit && limit < c->r->image_size;
        if (!whole && (w.stop == walk_at_no_unit || (w.stop == walk_at_limit && !at_known_limit)))
            w.chunk.samples--;  // its end is a guess
        if (!whole && !keep_partial)
            break;
        w.chunk.end_confirmed = whole && (w.stop == walk_at_delimiter || at_known_limit);
        w.chunk.open_end = whole && !w.chunk.end_confirmed;
        const SalvageChunk* prev = last_chunk(c);
        if (prev && prev->file_known && prev->full_bytes) {
            // where the sound behind the chunk before varies from the usual by a few samples,
            // the walk began where that chunk's own sound ends; across a fragment boundary, the
            // chunk's place in its cluster tells that sound's length
            uint64_t distance = next_chunk_distance(full_end(prev), at, c->between);
            uint64_t from = prev->file_offset + prev->full_bytes, behind = file_behind(c->r, from, c->between, at);
            w.chunk.file_offset = distance ? from + distance : behind ? behind : from + c->between;
            w.chunk.file_known = 1;
        }
        if (whole)
            w.chunk.full_bytes = chunk_bytes(&w.chunk);
        if (w.chunk.samples > 0)
            basics::list_append(c->chunks, w.chunk);
        if (!whole)
            break;
        at = chunk_end(&w.chunk) + c->between;
        if (at_known_limit) {
            *reached = 1;
            break;
        }
    }
    return at;
}

// The chunks between the end of the last chunk in the chain (or the media data's start) and a
// located chunk at `next`: forward from the one, back from the other.
void fill_gap(Chain* c, uint64_t next, uint64_t next_file, int* gap)
{
    const RecordingScope* r = c->r;
    SalvageChunk* prev = last_chunk(c);
    *gap = 0;
    if (c->between == 0 || next < r->payload + c->between) {
        *gap = prev && full_end(prev) != next;
        return;
    }
    uint64_t end = next - c->between;
    uint64_t from = r->payload;
    if (prev) {
        int reached;
        from = walk_forward(c, full_end(prev) + c->between, end, 0, &reached);
        if (reached)
            return;
        prev = last_chunk(c);
    }
    uint64_t prev_end = prev ? full_end(prev) : 0;
    // back from the located chunk
    SalvageChunk back[64];
    uint32_t found = 0;
    SalvageChunk one;
    uint64_t lower = prev ? full_end(prev) : r->payload;
    while (found < 64 && end > lower && chunk_ending_at(r, lower, end, &one)) {
        one.full_bytes = chunk_bytes(&one);
        next_file -= c->between + one.full_bytes;
        one.file_offset = next_file;
        one.file_known = 1;
        back[found++] = one;
        if (one.image_offset < lower + c->between)
            break;
        end = one.image_offset - c->between;
    }
    uint64_t meets = found ? back[found - 1].image_offset : next;
    settle_open_end(c, prev && prev_end + c->between == meets);
    prev = last_chunk(c);
    // with no chunk before, the first one found is the recording's first unless a whole chunk
    // and its interleave would fit in front of it
    *gap = prev ? from != meets : meets - r->payload >= c->between;
    for (uint32_t i = found; i > 0; i--) {
        back[i - 1].gap_before = i == found && *gap;
        basics::list_append(c->chunks, back[i - 1]);
    }
    if (found)
        *gap = 0;
}

// The kkad box of the metadata behind a chunk's sound lies at the same distance from the end of
// every chunk: learnt from two chunks found one right behind the other; 0 when none are. (The
// box behind a chunk is the one that describes it: the located chunks may show the distance too,
// and so may the metadata in front of the first chunk.)
uint64_t marker_distance(const SalvageChunkList* chunks, uint64_t between, const KkadMarker* markers, uint64_t count)
{
    for (size_t i = 0; i + 1 < chunks->count; i++) {
        const SalvageChunk* a = &chunks->items[i];
        uint64_t end = full_end(a), next = chunks->items[i + 1].image_offset;
        if (!a->full_bytes || next != end + between)
            continue;
        for (uint64_t m = 0; m < count; m++)
            if (markers[m].marker_offset > end && markers[m].marker_offset < next)
                return markers[m].marker_offset - end;
    }
    return 0;
}

// The metadata in front of the first chunk is laid out as the metadata behind every chunk's
// sound: where the first chunk lies right behind it, its kkad box tells the distance from a
// chunk's end to the box behind its sound; 0 when it does not.
uint64_t lead_marker_distance(const RecordingScope* r, const RecordingLayout* l, const SalvageChunkList* chunks,
                              const KkadMarker* markers, uint64_t count)
{
    if (!l->lead || l->between <= l->lead || chunks->count == 0 || chunks->items[0].image_offset != r->payload + l->lead)
        return 0;
    for (uint64_t m = 0; m < count; m++)
        if (markers[m].marker_offset >= r->payload && markers[m].marker_offset < r->payload + l->lead)
            return l->between - l->lead + (markers[m].marker_offset - r->payload);
    return 0;
}

// The described chunk whole from `at`.
SalvageChunk whole_described(const Described* d, uint64_t at)
{
    SalvageChunk chunk = {};
    chunk.image_offset = at;
    chunk.file_offset = d->file_offset;
    chunk.file_known = 1;
    std::memcpy(chunk.sizes, d->sizes, sizeof chunk.sizes);
    chunk.samples = camera_chunk_samples;
    chunk.full_bytes = chunk_bytes(&chunk);
    chunk.described = 1;
    chunk.end_confirmed = 1;
    chunk.box = d->marker_offset;
    return chunk;
}

void append_located(Chain* c, const Described* d)
{
    const SalvageChunk* prev = last_chunk(c);
    uint64_t prev_file_end = prev && prev->file_known ? prev->file_offset + whole_bytes(prev) : 0;
    if (prev && prev->file_known && d->file_offset < prev_file_end)
        return;  // overlaps the chunk before: not the camera's layout
    int gap = 0;
    uint64_t step = prev && prev->file_known ? next_chunk_distance(prev_file_end, d->file_offset, c->between) : 0;
    if (step) {
        // one behind the other in the camera's file, wherever the card put them
    } else if (prev && d->image_offset < full_end(prev)) {
        gap = 1;  // the card put it before the chunk in front of it: nothing to walk
    } else {
        fill_gap(c, d->image_offset, d->file_offset, &gap);
    }
    prev = last_chunk(c);
    settle_open_end(c, prev && full_end(prev) + (step ? step : c->between) == d->image_offset);
    SalvageChunk chunk = whole_described(d, d->image_offset);
    chunk.gap_before = gap;
    c->last_described = d;
    basics::list_append(c->chunks, chunk);
}

// The chunks behind the last one found where the interleave's distance does not lead to them (its
// sound lies cut, so the next chunk stands elsewhere in the image): walked from where the kkad box
// behind its sound puts the next one, though a boundary may lie between the box and that place.
// They are kept only when every one walks whole and the last ends its sound's length (`sound`)
// before the media data's end in the camera's file, as the recording's last chunk does.
void walk_from_box(Chain* c, uint64_t sound, uint64_t to_marker)
{
    SalvageChunk* last = last_chunk(c);
    uint64_t to_chunk = c->box_to_chunk                           ? c->box_to_chunk
                        : to_marker && to_marker < c->between ? c->between - to_marker
                                                                  : 0;
    if (!last || !last->box || !to_chunk || !last->file_known || !last->full_bytes || !last->end_confirmed ||
        last->file_offset + last->full_bytes + c->between >= c->r->file_end ||
        last->box + to_chunk == full_end(last) + c->between)
        return;
    size_t before = c->chunks->count;
    int reached;
    walk_forward(c, last->box + to_chunk, c->r->image_size, 1, &reached);
    SalvageChunk* end = last_chunk(c);
    int whole = c->chunks->count > before;
    for (size_t i = before; i < c->chunks->count && whole; i++)
        whole = c->chunks->items[i].samples == camera_chunk_samples && c->chunks->items[i].full_bytes;
    if (!whole || !end->file_known ||
        !next_chunk_distance(end->file_offset + end->full_bytes, c->r->file_end, sound)) {
        c->chunks->count = before;
        return;
    }
    end->open_end = 0;
    end->end_confirmed = 1;
}

// The recording's last chunk where a fragment boundary cuts it before its first sample ends: no
// sample walks where it starts, so nothing listed it. It starts behind the kkad box behind the
// sound of the chunk before it, where that box's cluster holds its start, and ends its sound's length
// (`sound`) before the media data's end; listed with no sample, for the join to place. 1 when listed.
int list_unwalked_last(Chain* c, uint64_t sound)
{
    const SalvageChunk* prev = last_chunk(c);
    int sure = 0;
    uint64_t at = prev ? behind_box(c, prev->box, &sure) : 0;
    if (!at || !sure || !prev->file_known || !prev->full_bytes || !prev->end_confirmed)
        return 0;
    uint64_t file = file_behind(c->r, prev->file_offset + prev->full_bytes, c->between, at);
    if (file == 0 || file >= c->r->file_end || c->r->file_end - file <= sound)
        return 0;
    SalvageChunk chunk{};
    chunk.image_offset = at;
    chunk.file_offset = file;
    chunk.file_known = 1;
    basics::list_append(c->chunks, chunk);
    return 1;
}

// A described chunk that does not walk whole at `at`, joined across a fragment boundary to the
// run that holds the kkad box that describes it (at the distance `to_box` behind its end in the
// camera's file) or the recording's next located chunk `next`; `first` 1 for the recording's first
// chunk, which no piece of the recording precedes.
int joined_chunk_at(const Chain* ch, const Described* d, uint64_t at, const Described* next, SalvageChunk* out,
                    int first)
{
    const RecordingScope* r = ch->r;
    const mp4::SampleSizes sizes = {d->sizes, 0, camera_chunk_samples};
    uint64_t total = 0;
    for (uint32_t v : d->sizes)
        total += v;
    JoinAnchor anchors[2];
    uint64_t count = 0;
    if (ch->to_box)
        anchors[count++] = JoinAnchor{d->file_offset + total + ch->to_box, d->marker_offset};
    if (next)
        anchors[count++] = JoinAnchor{next->file_offset, next->image_offset};
    ChunkPlace place;
    // runs no located piece vouches for are looked for only where the box in front of every chunk
    // places it, or behind the recording's first chunk's cut: no piece of the recording lies in
    // front of it, and the kkad box behind its sound may lie runs further on
    JoinWindow window{ch->others ? ch->others->claims : nullptr, ch->others ? ch->others->clip : 0,
                      ch->others ? ch->others->tag : 0};
    const JoinWindow* unvouched = (ch->box_to_chunk || first) && ch->others ? &window : nullptr;
    if (count == 0 || !join_video_chunk(r->image, r->image_size, r->geometry, d->file_offset, at, &sizes,
                                        codec::syntax_of(video_format(r->hevc)), anchors, count, 0, unvouched, &place))
        return 0;
    *out = whole_described(d, at);
    out->cut = place.cut;
    out->tail = place.tail;
    out->later = place.later;
    for (uint32_t i = 0; i < place.later && i < place_cuts_max - 1; i++)
        out->later_cut[i] = place.later_cut[i], out->later_at[i] = place.later_at[i];
    return 1;
}

// The damaged chunks before the located chunk `limit` (null: to the end), each placed only right
// behind the chunk before it: joined to the run of `limit` across a fragment boundary where the
// structure proves it, else what stands before the damage.
void place_damaged_before(Chain* c, const Described*** next, const Described* limit)
{
    for (; **next && (!limit || (**next)->file_offset < limit->file_offset); ++*next) {
        const Described* d = **next;
        const SalvageChunk* prev = last_chunk(c);
        const RecordingScope* r = c->r;
        uint64_t lead = d->file_offset - (r->payload - r->header->header_offset);
        SalvageChunk chunk;
        // the recording's first chunk stands behind the first metadata, where its file offset says
        int first = !prev && lead < c->between;
        uint64_t step = prev && prev->file_known && prev->full_bytes
                            ? next_chunk_distance(prev->file_offset + prev->full_bytes, d->file_offset, c->between)
                            : 0;
        int behind = step != 0;
        // a chunk that could not be placed leaves its box to place the next one
        const Described* before = c->last_described;
        c->last_described = d;
        uint64_t before_end = before ? before->file_offset : 0;
        for (uint32_t v : before ? before->sizes : d->sizes)
            before_end += before ? v : 0;
        // the start behind the box in front of it, then the interleave's distance behind `prev`;
        // a start the box's cluster does not hold is taken only when the whole chunk joins from it
        int sure[2] = {1, 1};
        uint64_t at[2] = {first ? r->payload + lead : 0, 0};
        if (!first && (behind || (before && next_chunk_distance(before_end, d->file_offset, c->between))))
            at[0] = behind_box(c, behind ? prev->box : before->marker_offset, &sure[0]);
        if (behind && !(at[0] && sure[0]))
            at[1] = full_end(prev) + step;
        // or, where a boundary cut the first metadata from the clip header, behind the first box
        if (first && c->lead_box)
            at[1] = behind_box(c, c->lead_box, &sure[1]);
        int placed = 0;
        for (int i = 0; i < 2 && !placed; i++)
            placed = at[i] && (joined_chunk_at(c, d, at[i], limit, &chunk, first) ||
                               (sure[i] && damaged_chunk_at(r, d, at[i], &chunk)));
        // a boundary between the box and the start: the chunk starts in the one cluster up to the
        // box that describes it that shows its first sample's head
        const OthersPieces* o = c->others;
        uint64_t head = !placed && at[0] && !sure[0] && d->marker_offset > at[0]
                            ? sample_head_between(r->image, r->image_size, r->geometry, o ? o->claims : nullptr,
                                                  o ? o->clip : 0, o ? o->tag : 0, at[0], d->marker_offset,
                                                  d->file_offset, d->sizes[0], codec::syntax_of(video_format(r->hevc)))
                            : 0;
        placed = placed || (head && joined_chunk_at(c, d, head, limit, &chunk, first));
        if (!placed)
            continue;
        settle_open_end(c, 1);
        chunk.gap_before = !first && !behind;
        basics::list_append(c->chunks, chunk);
    }
}

}  // namespace

int find_recording_chunks(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                          const ClipHeader* header, const KkadMarker* markers,
                          uint64_t count, uint64_t between_hint, const SoundClock* clock, PcmFormat pcm,
                          const OthersPieces* others,
                          SalvageChunkList* out, RecordingLayout* layout)
{
    // only the header's length matters: the media data of a cut recording runs past the image end
    mp4::BoxHeader mdat;
    if (!mp4::read_box_header_file(image, header->mdat_offset, UINT64_MAX / 2, &mdat))
        return 0;
    RecordingScope r = {image, image_size, geometry, header, header->mdat_offset + mdat.header_size,
                   mdat.offset + mdat.size - header->header_offset, -1, clock, pcm};
    DescribedList described = {};
    collect_descriptions(&r, markers, count, &described);
    locate_descriptions(&r, &described);

    // the list is in file order; a description tells where its chunk stood even when the
    // chunk's bytes are damaged
    const Described** located = select_descriptions(&described, 1, 0);
    const Described** credible = select_descriptions(&described, 0, 0);
    const Described** damaged = select_descriptions(&described, 0, 1);
    size_t n = count_selected(located);
    size_t seen = 0;
    uint64_t between = described_between(credible, count_selected(credible), &seen);
    // a distance seen once may run across a chunk whose descriptions are lost: a shorter one
    // another recording shows is the camera's interleave, unless the two chunks follow each other
    // (a proxy beside its main clip interleaves sound of its own format)
    if (between == 0 || (seen < 2 && between_hint && between_hint < between &&
                         !between_follows(credible, count_selected(credible), between)))
        between = between_hint;

    // described chunks whose bytes are not all there keep what stands before the damage
    Chain c = {&r, between, out, 0, 0, others};
    box_distances(&r, markers, count, located, n, credible[0], between, &c.to_box, &c.box_to_chunk);
    for (uint64_t m = 0; m < count && !c.lead_box; m++)
        if (markers[m].valid && markers[m].sequence == 0 && markers[m].marker_offset >= r.payload)
            c.lead_box = markers[m].marker_offset;
    const Described** next_damaged = damaged;
    for (size_t i = 0; i < n; i++) {
        place_damaged_before(&c, &next_damaged, located[i]);
        append_located(&c, located[i]);
    }
    place_damaged_before(&c, &next_damaged, nullptr);
    std::free(credible);
    std::free(damaged);
    uint64_t lead_from_description = described_lead(&r, &described, located, n, between);
    std::free(located);
    basics::list_free(&described);
    if (out->count == 0)
        return 0;
    int reached;
    if (between)
        walk_forward(&c, next_start(&c, last_chunk(&c)), image_size, 1, &reached);

    RecordingLayout l = {r.hevc, r.payload, between, 0, 0};
    // the first chunk's description says where it stood in the camera's file, cut from the
    // header by a fragment boundary or not
    const SalvageChunk* head = &out->items[0];
    uint64_t header_length = r.payload - header->header_offset;
    if (between && head->described && head->file_offset >= header_length && head->file_offset - header_length < between)
        l.lead = head->file_offset - header_length;
    else if (between && head->image_offset - r.payload < between)
        l.lead = head->image_offset - r.payload;
    else
        l.lead = lead_from_description;
    // the last chunk's sound ends where the media data does, in the image when the recording
    // lies in one piece, in the camera's file wherever it lies; or the metadata of a chunk the
    // camera did not get to write follows it
    SalvageChunk* last = last_chunk(&c);
    uint64_t sound = between - l.lead, to_marker = marker_distance(out, between, markers, count);
    if (to_marker == 0)
        to_marker = c.to_box ? c.to_box : lead_marker_distance(&r, &l, out, markers, count);
    if (l.lead && between > l.lead) {
        walk_from_box(&c, sound, to_marker);
        int listed = list_unwalked_last(&c, sound);
        last = last_chunk(&c);
        join_cut_last_chunk(&r, out, last, sound, l.lead, others);
        if (listed && last->samples == 0)
            last = &out->items[--out->count - 1];
    }
    settle_open_end(&c, (l.lead && (full_end(last) + sound == header->mdat_end ||
                                    (last->file_known && last->file_offset + whole_bytes(last) + sound == r.file_end))) ||
                            (to_marker && kkad_marker_at(markers, count, full_end(last) + to_marker)));
    close_last_twelfth(&r, last, l.lead ? sound : 0, to_marker, markers, count);
    if (last->samples == 0)
        out->count--;
    uint64_t bytes = 0;
    for (size_t i = 0; i < out->count; i++)
        bytes += whole_bytes(&out->items[i]);
    uint64_t average = out->count ? bytes / out->count : 0;
    for (size_t i = 0; i < out->count; i++) {
        if (!out->items[i].gap_before || average + between == 0)
            continue;
        // before the first chunk found, the missing ones follow the first metadata
        const SalvageChunk* a = i ? &out->items[i - 1] : nullptr;
        const SalvageChunk* b = &out->items[i];
        uint64_t span = !a                                ? b->image_offset + between - (r.payload + l.lead)
                        : a->file_known && b->file_known ? b->file_offset - (a->file_offset + whole_bytes(a))
                        : b->image_offset > full_end(a)  ? b->image_offset - full_end(a)
                                                          : 0;
        uint64_t missing = span > between ? (span - between + (average + between) / 2) / (average + between) : 0;
        l.missing_chunks += missing ? missing : 1;
    }
    SoundClock stated;
    if (l.lead && between > l.lead)
        take_stream_clock(&r, out, sound, &stated);
    place_chunk_sound(&r, out, &l, markers, count, to_marker, c.to_box, others);
    *layout = l;
    return out->count > 0;
}

uint64_t salvage_chunk_walked(const SalvageChunk* c) { return chunk_bytes(c); }

ChunkPlace salvage_chunk_place(const SalvageChunk* c)
{
    ChunkPlace place{c->image_offset, c->cut, c->tail};
    place.later = c->later;
    for (uint32_t i = 0; i < c->later && i < place_cuts_max - 1; i++)
        place.later_cut[i] = c->later_cut[i], place.later_at[i] = c->later_at[i];
    return place;
}

uint64_t salvage_chunk_end(const SalvageChunk* c)
{
    return salvage_chunk_offset(c, c->full_bytes ? c->full_bytes : chunk_bytes(c));
}

uint64_t salvage_chunk_offset(const SalvageChunk* c, uint64_t x)
{
    ChunkPlace place = salvage_chunk_place(c);
    return place_offset(&place, x);
}

int read_salvage_chunk(std::FILE* image, const SalvageChunk* c, uint8_t* out, uint64_t n)
{
    ChunkPlace place = salvage_chunk_place(c);
    return read_placed(image, &place, 0, out, n);
}

}  // namespace salvage
