#include "salvage/chunk_sound.h"

#include <algorithm>

#include "image/read_at.h"
#include "salvage/contested.h"
#include "salvage/free_runs.h"
#include "salvage/last_sound.h"
#include "salvage/layout_join.h"
#include "salvage/open_tail.h"
#include "salvage/sound_continuity.h"
#include "salvage/sound_gaps.h"

namespace salvage {

using analysis::KkadMarker;

namespace {

// 1 when the waveform of the sound [end, end + sound) of the recording, behind its piece `last`
// and in front of `hi` (null: the sound ends its media data), proves it lies at `place`.
int waveform_proves(const RecordingScope* r, const OthersPieces* others, JoinAnchor last, const JoinAnchor* hi,
                    uint64_t end, uint64_t sound, const ChunkPlace* place)
{
    ChunkPlace proof;
    int proven = hi ? place_by_waveform(r->image, r->image_size, r->geometry, others->claims, others->clip, others->tag,
                                        last, *hi, end, sound, end, sound, r->pcm, &proof)
                    : end + sound == r->file_end &&
                          last_sound_by_waveform(r->image, r->image_size, r->geometry, others->claims, others->clip,
                                                 others->tag, last, end, sound, r->pcm, &proof);
    return proven && same_place(&proof, place);
}

// The sound behind a chunk whose file offset is known, where the run its last byte lies in
// bounds it: joined to the recording's next located piece (the kkad box that describes the chunk,
// `to_box` behind its end, or the next chunk) across a fragment boundary where the cluster edges
// leave one choice: 1, or placed_by_room where the others' pieces leave that choice. A chunk whose
// samples were not walked to its end (`walked` 0) shows where it ends only when that next piece
// stands at the camera's distance from its first byte: nothing was cut between them then.
int join_sound(const RecordingScope* r, SalvageChunk* c, const SalvageChunk* next, uint64_t sound, uint64_t to_box,
               const OthersPieces* others, int walked)
{
    uint64_t end = c->file_offset + c->full_bytes;
    JoinAnchor last{end - 1, salvage_chunk_offset(c, c->full_bytes - 1)}, after[2];
    uint64_t n = 0;
    if (next && next->file_known && next->file_offset >= end + sound)
        after[n++] = JoinAnchor{next->file_offset, next->image_offset};
    if (c->box && to_box >= sound && (n == 0 || end + to_box < after[0].file))
        after[n++] = JoinAnchor{end + to_box, c->box};
    ChunkPlace place;
    const JoinAnchor* hi = n ? &after[n - 1] : nullptr;
    if (!walked) {
        if (c->cut || !hi || hi->image < last.image || hi->image - last.image != hi->file - last.file)
            return 0;
        place = ChunkPlace{last.image + 1, 0, 0};
        if (others && place_contested(others->claims, &place, sound))
            return 0;
        c->sound = place;
        return 1;
    }
    int by_room = !join_sound_behind(r->geometry, r->image_size, last, hi, end, sound, &place);
    if (by_room &&
        !(hi && others && join_by_claims(r->geometry, r->image_size, last, *hi, end, sound, others->claims,
                                         others->clip, others->tag, &place))) {
        const SoundGap* settled = others ? settled_gap(others->claims, others->clip, end, sound) : nullptr;
        if (settled && hi && settled->lo_image == last.image && settled->hi_image == hi->image) {
            place = placed_at_cut(last, *hi, settled->edges[0], end, sound);
        } else if (!hi && others && end + sound == r->file_end &&
                   (free_runs_to_end(r->geometry, others->claims, others->clip, others->tag, last, end, sound, &place) ||
                    last_sound_by_waveform(r->image, r->image_size, r->geometry, others->claims, others->clip,
                                           others->tag, last, end, sound, r->pcm, &place))) {
            // the recording's last sound: the other recording's runs around show its clusters, or
            // its own samples do
        } else {
            // or in the clusters the others' pieces leave free between the two, weighed again on
            // every pass
            if (hi && others && others->open && !settled)
                note_open_sound(last, *hi, end, sound, others->clip, others->tag, others->open);
            // or where its own samples prove one way, cut once
            int threaded = hi && others &&
                           threaded_place(r->geometry, others->claims, others->clip, last, *hi, end, sound, &place);
            if (!threaded && hi && others &&
                place_by_waveform(r->image, r->image_size, r->geometry, others->claims, others->clip, others->tag, last,
                                  *hi, end, sound, end, sound, r->pcm, &place) &&
                !place.later)
                by_room = 0;
            else if (!threaded) {
                if (hi && others && others->claims && others->gaps)
                    note_sound_gap(r->geometry, r->image_size, last, *hi, end, sound, others->claims, others->clip,
                                   others->tag, others->gaps);
                return 0;
            }
        }
    }
    // sound placed by the room the others leave where its own samples prove the same clusters,
    // every other way stepping at an edge: a piece the others may count by
    if (by_room && others && waveform_proves(r, others, last, hi, end, sound, &place))
        by_room = 0;
    // a cluster of another's in it shows where the audio steps at its edge
    uint64_t cs = r->geometry ? r->geometry->cluster_bytes : 0;
    if ((by_room || place.cut) && smooth_bytes(r->image, r->image_size, cs, &place, end, sound, r->pcm) < sound)
        return 0;
    // sound that another recording's placed over in one pass may be either's
    if (others && place_contested(others->claims, &place, sound))
        return 0;
    c->sound = place;
    return by_room ? int(placed_by_room) : 1;
}

// The last sound of a recording, `sound` bytes from image offset `end` where its header's run
// puts them: no piece behind it says that run reaches so far. It lies there when no cluster edge
// falls inside it (or no clusters are known); else only where no other recording's located piece
// holds any of it and its samples run on smoothly, and not silent, across every cluster edge
// inside it.
int last_sound_in_run(const RecordingScope* r, uint64_t end, uint64_t sound, const OthersPieces* others)
{
    const image::ImageGeometry* g = r->geometry;
    uint64_t cs = g ? g->cluster_bytes : 0, at = 0;
    if (cs == 0)
        return 1;
    if (end <= g->heap_offset || end > UINT64_MAX - sound)
        return 0;
    if ((end - 1 - g->heap_offset) / cs == (end + sound - 1 - g->heap_offset) / cs)
        return 1;
    if (others && others->claims &&
        first_foreign(others->claims, end, end + sound, others->clip, others->tag, &at, 1))
        return 0;
    const PcmFormat pcm = r->pcm;
    const uint64_t window = pcm_window(pcm), frame = pcm_frame_bytes(pcm);
    if (frame == 0)
        return 0;
    uint8_t buf[2 * pcm_window_max];
    for (uint64_t e = ((end - g->heap_offset) / cs + 1) * cs + g->heap_offset; e < end + sound; e += cs) {
        uint64_t before = std::min(window, e - end), after = std::min(window, end + sound - e);
        before -= (before - (e - end) % frame) % frame;
        if (!image::read_at(r->image, e - before, buf, before + after) || silent(buf, before + after, pcm) ||
            judge_joint(buf, before + after, before, pcm) != Joint::smooth)
            return 0;
    }
    return 1;
}

// The room a chunk's file offset and size leave for its sound: up to the next chunk, less the
// metadata in front of it, or, for the recording's last chunk, up to the media data's end. Only
// offsets that kkad descriptions gave count, and only a room near the interleave's usual sound
// `sound`, which a chunk of the recording missing between the two would far exceed. 0 when
// neither shows it.
int near_usual(uint64_t room, uint64_t usual);

uint64_t sound_room(const RecordingScope* r, const SalvageChunkList* chunks, size_t i, uint64_t lead, uint64_t sound)
{
    const SalvageChunk* c = &chunks->items[i];
    if (!sound || !c->described || !c->file_known || !c->full_bytes)
        return 0;
    uint64_t end = c->file_offset + c->full_bytes, room = 0;
    if (i + 1 < chunks->count) {
        const SalvageChunk* next = &chunks->items[i + 1];
        if (next->described && next->file_known && next->file_offset > end + lead)
            room = next->file_offset - end - lead;
    } else if (r->file_end > end) {
        room = r->file_end - end;
    }
    return near_usual(room, sound) ? room : 0;
}

// Sound samples of a chunk may differ from the usual by a few; a chunk of the recording missing
// between two would add its whole metadata and more.
int near_usual(uint64_t room, uint64_t usual)
{
    uint64_t slack = usual / 64;
    return room + slack >= usual && room <= usual + slack;
}

// Whether the media data ends `sound` bytes behind the chunk ending at image offset `end`: in the
// camera's file where the chunk's place there is known, else in its header's run. Where the file
// is not in one piece up to there, a cluster edge right at `end` would leave the run's next
// cluster unproven, so the sound must begin inside the chunk's last cluster.
int last_sound_at_end(const RecordingScope* r, const SalvageChunk* c, uint64_t end, uint64_t sound)
{
    if (!c->file_known)
        return end + sound == r->header->mdat_end;
    if (c->file_offset + c->full_bytes + sound != r->file_end)
        return 0;
    const image::ImageGeometry* g = r->geometry;
    return end + sound == r->header->mdat_end || !g || g->cluster_bytes == 0 || end <= g->heap_offset ||
           (end - g->heap_offset) % g->cluster_bytes != 0;
}

}  // namespace

uint64_t next_chunk_distance(uint64_t from, uint64_t to, uint64_t between)
{
    return between && to > from && near_usual(to - from, between) ? to - from : 0;
}

uint64_t clock_chunk_sound(const SoundClock* k, uint64_t index)
{
    if (!k || !k->video_timescale)
        return 0;
    auto due = [k](uint64_t frames) { return frames * k->video_delta * k->sound_rate / k->video_timescale; };
    uint64_t n = analysis::camera_chunk_samples;
    return k->sample_bytes * (due(n * (index + 1)) - due(n * index));
}

SoundClock clock_from_movies(const analysis::MovieList* movies)
{
    for (size_t i = 0; i < movies->count; i++) {
        const mp4::TrackTables* v = &movies->items[i].video;
        const mp4::TrackTables* a = &movies->items[i].audio;
        if (!movies->items[i].has_audio || !v->sample_count || v->duration % v->sample_count || !a->timescale ||
            !camera_frame_size(a->fixed_sample_size) || a->duration != a->sample_count || !a->chunk_count ||
            a->chunk_count != v->chunk_count)
            continue;
        SoundClock k{v->timescale, v->duration / v->sample_count, a->timescale, a->fixed_sample_size};
        int agrees = 1;
        for (uint64_t j = 0; j < v->chunk_count && agrees; j++)
            agrees = v->chunk_sample_counts[j] == analysis::camera_chunk_samples && a->chunk_sizes[j] == clock_chunk_sound(&k, j);
        if (agrees)
            return k;
    }
    return SoundClock{};
}

namespace {

// Sizes the chunks no room sized by the clock, where it agrees with every room.
void size_by_clock(const RecordingScope* r, SalvageChunkList* chunks, uint64_t lead)
{
    if (!r->clock || !r->header || chunks->count == 0)
        return;
    const SalvageChunk* first = &chunks->items[0];
    uint64_t first_file = r->payload - r->header->header_offset + lead;
    if (!first->file_known || first->file_offset != first_file)
        return;
    size_t known = 0;  // chunks [0, known) stand at their index
    while (known < chunks->count && (known == 0 || !chunks->items[known].gap_before))
        known++;
    for (size_t i = 0; i < known; i++) {
        const SalvageChunk* c = &chunks->items[i];
        if (!c->sound_unproven && c->sound_bytes != clock_chunk_sound(r->clock, i))
            return;
    }
    for (size_t i = 0; i < known; i++) {
        SalvageChunk* c = &chunks->items[i];
        if (c->sound_unproven)
            c->sound_bytes = clock_chunk_sound(r->clock, i), c->sound_unproven = 0;
    }
}

}  // namespace

void chunk_sound_sizes(const RecordingScope* r, SalvageChunkList* chunks, uint64_t lead, uint64_t sound)
{
    // the rooms the descriptions show; where one differs from the usual sound, or the usual gives
    // no frame a whole number of samples (the camera's 16-bit stereo), the recording's sound
    // varies from chunk to chunk and a chunk no room vouches for has no proven size
    constexpr uint64_t sample_bytes = 4;
    int varies = sound % (sample_bytes * analysis::camera_chunk_samples) != 0;
    for (size_t i = 0; i < chunks->count; i++) {
        uint64_t room = sound_room(r, chunks, i, lead, sound);
        chunks->items[i].sound_bytes = room;
        varies = varies || (room && room != sound);
    }
    for (size_t i = 0; i < chunks->count; i++) {
        SalvageChunk* c = &chunks->items[i];
        c->sound_unproven = varies && !c->sound_bytes;
        if (!c->sound_bytes && !varies)
            c->sound_bytes = sound;
    }
    if (varies)
        size_by_clock(r, chunks, lead);
}

int kkad_marker_at(const KkadMarker* markers, uint64_t count, uint64_t offset)
{
    const KkadMarker* m = std::lower_bound(markers, markers + count, offset,
                                           [](const KkadMarker& k, uint64_t o) { return k.marker_offset < o; });
    return m != markers + count && m->marker_offset == offset;
}

void place_chunk_sound(const RecordingScope* r, SalvageChunkList* chunks, const RecordingLayout* l,
                       const KkadMarker* markers, uint64_t count, uint64_t to_marker, uint64_t to_box,
                       const OthersPieces* others)
{
    uint64_t usual = l->lead && l->between > l->lead ? l->between - l->lead : 0;
    chunk_sound_sizes(r, chunks, l->lead, usual);
    for (size_t i = 0; i < chunks->count; i++) {
        SalvageChunk* c = &chunks->items[i];
        uint64_t end = salvage_chunk_end(c);
        int last = i + 1 == chunks->count;
        c->sound = ChunkPlace{end, 0, 0};
        // the distances from the chunk's end to the pieces behind its sound move with its size; a
        // size not proven places nothing
        uint64_t sound = c->sound_unproven ? 0 : c->sound_bytes, between = usual ? sound + l->lead : l->between;
        auto moved = [&](uint64_t d) { return d >= usual ? d - usual + sound : d; };
        uint64_t marker_at = moved(to_marker);
        int placed = c->full_bytes && c->end_confirmed && l->between && !c->sound_unproven;
        // the kkad box behind the sound found elsewhere: the bytes between were moved with it
        uint64_t box_distance = to_box ? moved(to_box) : marker_at;
        // a chunk placed up to the open tail of its last sample: the tail lies with its sound
        int closed = c->open_tail && sound ? close_open_tail(r, c, last ? nullptr : &chunks->items[i + 1], sound,
                                                             box_distance, others)
                                           : 0;
        if (closed) {
            c->sound_follows = uint32_t(closed);
            continue;
        }
        int box_moved = c->box && box_distance && c->box != end + box_distance;
        c->sound_follows = placed && ((!last && !box_moved && chunks->items[i + 1].image_offset == end + between) ||
                                      (marker_at && kkad_marker_at(markers, count, end + marker_at)) ||
                                      (last && !box_moved && sound &&
                                       last_sound_at_end(r, c, end, sound) &&
                                       last_sound_in_run(r, end, sound, others)));
        if (!c->sound_follows && placed && sound && c->file_known)
            c->sound_follows = join_sound(r, c, last ? nullptr : &chunks->items[i + 1], sound, box_distance, others,
                                          salvage_chunk_walked(c) == c->full_bytes);
        // its last sample's payload over an edge no walk sees, and the sound behind it further on
        if (!c->sound_follows && placed && sound && c->file_known)
            c->sound_follows = uint32_t(close_unseen_tail(r, c, last ? nullptr : &chunks->items[i + 1], sound,
                                                          box_distance, others));
    }
}

uint64_t sound_end_before_last(const RecordingScope* r, const SalvageChunkList* chunks, const RecordingLayout* l,
                               const KkadMarker* markers, uint64_t count, uint64_t to_marker, uint64_t to_box,
                               const OthersPieces* others)
{
    if (chunks->count < 2 || !others)
        return 0;
    SalvageChunkList copy = {};
    for (size_t i = 0; i < chunks->count; i++)
        basics::list_append(&copy, chunks->items[i]);
    OthersPieces quiet = *others;
    quiet.gaps = nullptr, quiet.open = nullptr, quiet.heads = nullptr;
    place_chunk_sound(r, &copy, l, markers, count, to_marker, to_box, &quiet);
    const SalvageChunk* c = &copy.items[copy.count - 2];
    uint64_t end = 0, from, at;
    if (c->sound_follows && !c->sound_unproven && c->sound_bytes) {
        place_last_run(&c->sound, &from, &at);
        if (c->sound_bytes - from >= pcm_window(r->pcm))
            end = place_offset(&c->sound, c->sound_bytes);
    }
    basics::list_free(&copy);
    return end;
}

}  // namespace salvage
