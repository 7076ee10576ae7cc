#include "salvage/salvage_chunks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "salvage/chunk_descriptions.h"
#include "salvage/chunk_walk.h"
#include "salvage/chunk_sound.h"
#include "salvage/cut_join.h"
#include "salvage/damaged_chunk.h"
#include "salvage/last_chunk.h"
#include "salvage/lost_count.h"
#include "salvage/run_turns.h"
#include "salvage/sample_heads.h"
#include "analysis/chunk_locate.h"
#include "analysis/fingerprint_map.h"
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

// Where the chunk the camera wrote ends, kept samples or not: there its sound begins.
uint64_t whole_bytes(const SalvageChunk* c) { return c->full_bytes ? c->full_bytes : chunk_bytes(c); }
uint64_t full_end(const SalvageChunk* c) { return salvage_chunk_end(c); }

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


// The recording's pieces with their offsets in its file that the chain has placed: its clip header,
// the chunks placed so far, and `anchors` (`count` of them) behind the chunk being joined.
void own_pieces_before(const Chain* ch, const JoinAnchor* anchors, uint64_t count, LostPieces* own)
{
    add_placed_chunks(own, ch->r->header, ch->chunks);
    for (uint64_t i = 0; i < count; i++)
        add_lost_piece(own, anchors[i].file, anchors[i].image, 1);
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
    // the count of the clusters between the recording's pieces around the chunk, where another
    // recording written at once shares them, narrows the ways the joiner weighs
    LostPieces own{r->image, r->image_size, r->geometry, window.claims, window.clip, window.tag, {}, {}};
    own_pieces_before(ch, anchors, count, &own);
    CountedStretch stretch;
    codec::Syntax syntax = codec::syntax_of(video_format(r->hevc));
    if (count && lost_stretch(&own, d->file_offset, &sizes, syntax, ch->others ? ch->others->heads : nullptr, &stretch))
        window.count = &stretch;
    uint64_t open = 0;
    int joined = count && join_video_chunk(r->image, r->image_size, r->geometry, d->file_offset, at, &sizes, syntax,
                                           anchors, count, 0, unvouched, &place, &open);
    // samples longer than the runs, cut more than once: where the count shares the clusters out in
    // one way only, it places them
    if (!joined && window.count)
        joined = lost_place(&own, d->file_offset, &sizes, syntax, &place) && place.at == at;
    free_lost_pieces(&own);
    if (!joined)
        return 0;
    *out = whole_described(d, at);
    if (open) {  // all but the open tail of its last sample, which its sound may place
        out->samples = camera_chunk_samples - 1;
        out->end_confirmed = 0;
        out->open_tail = open;
    }
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
        if (!last->full_bytes && last->file_known && others && others->claims) {
            // the sound in front of the last chunk placed first: the chunk's own sound runs on from it
            uint64_t front = last->gap_before ? 0 : sound_end_before_last(&r, out, &l, markers, count, to_marker,
                                                                          c.to_box, others);
            join_cut_last_chunk(&r, out, last, sound, l.lead, others, front);
        }
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
        // in the image, the clusters other recordings' pieces take between the two hold none of them
        if (others && others->claims && !(a && a->file_known && b->file_known))
            span -= std::min(span, others_bytes(others->claims, geometry->heap_offset, geometry->cluster_bytes,
                                                a ? full_end(a) : r.payload + l.lead, b->image_offset, others->clip,
                                                others->tag));
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
