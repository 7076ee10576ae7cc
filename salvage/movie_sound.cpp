#include "salvage/movie_sound.h"

#include <algorithm>

#include "analysis/chunk_locate.h"
#include "basics/growable.h"
#include "codec/nal_units.h"
#include "codec/parameter_sets.h"
#include "image/read_at.h"
#include "salvage/contested.h"
#include "salvage/count_join.h"
#include "salvage/cut_movie.h"
#include "salvage/damaged_chunk.h"
#include "salvage/free_runs.h"
#include "salvage/last_sound.h"
#include "salvage/layout_join.h"
#include "salvage/sound_continuity.h"
#include "salvage/sound_gaps.h"

namespace salvage {

using namespace analysis;

namespace {

using Anchor = JoinAnchor;

// A chunk on the card vouches for its start, the end of its verified samples, and its end when
// its last sample is verified too.
void add_chunk_anchors(const MoviePlanner* p, uint64_t k, AnchorList* anchors)
{
    if (p->on_card[k] == 0)
        return;
    uint64_t f = p->video->chunk_offsets[k], at = p->found_at[k];
    mp4::SampleSizes sizes;
    uint64_t verified = 0;
    chunk_samples(p->video, k, &sizes);
    for (uint64_t i = 0; i < p->on_card[k]; i++)
        verified += mp4::sample_size_at(&sizes, i);
    basics::list_append(anchors, Anchor{f, at});
    if (p->cut[k].cut || p->open_tail[k]) {
        // a joined chunk: each part behind a cut starts a run of its own; one with an open tail
        // is placed up to the last byte in front of it
        ChunkPlace place = video_place(p, k);
        uint64_t size = p->open_tail[k] ? p->open_tail[k] : p->video->chunk_sizes[k], from = 0, run = 0;
        while ((from = place_run_end(&place, from, size)) < size) {
            place_run_of(&place, from, &from, &run);
            basics::list_append(anchors, Anchor{f + from, run});
        }
        if (p->open_tail[k])
            basics::list_append(anchors, Anchor{f + size - 1, place_offset(&place, size - 1)});
        else
            basics::list_append(anchors, Anchor{f + size, place_offset(&place, size - 1) + 1});
        return;
    }
    basics::list_append(anchors, Anchor{f + verified, at + verified});
    if (p->end_seen[k] && verified != p->video->chunk_sizes[k])
        basics::list_append(anchors, Anchor{f + p->video->chunk_sizes[k], at + p->video->chunk_sizes[k]});
}

// Every metadata chunk whose kkad box is still where the anchor before it puts the chunk becomes
// an anchor too: the camera writes it between a sound chunk and the next video chunk.
void add_marker_anchors(const MoviePlanner* p, AnchorList* anchors)
{
    const mp4::TrackTables* meta = &p->movie->other;
    if (!p->movie->has_other || !p->markers || p->markers->count == 0)
        return;
    AnchorList found;
    for (size_t i = 0; i < anchors->count; i++)
        basics::list_append(&found, anchors->items[i]);
    const KkadMarker* first = p->markers->items;
    const KkadMarker* end = first + p->markers->count;
    for (uint64_t i = 0; i < meta->chunk_count; i++) {
        uint64_t o = meta->chunk_offsets[i], size = meta->chunk_sizes[i];
        const Anchor* lo = anchor_upto(&found, o);
        if (!lo || lo->image > UINT64_MAX - (o - lo->file) - size)
            continue;
        uint64_t at = lo->image + (o - lo->file);
        const KkadMarker* m = std::lower_bound(first, end, at,
                                               [](const KkadMarker& k, uint64_t x) { return k.marker_offset < x; });
        for (; m != end && m->marker_offset < at + size; m++)
            if (!p->clip->run || m->tag == p->clip->run->tag) {
                basics::list_append(anchors, Anchor{o + (m->marker_offset - at), m->marker_offset});
                break;
            }
    }
    basics::list_free(&found);
}

// Sound bytes [q, q + size) between `lo` and `hi` in different runs, with more than one edge left
// for the boundary: those in front of the first edge lie in lo's run, those behind the last in hi's,
// wherever the boundary is. The other recordings' planners learn they cannot lie there.
void note_sure_sound(MoviePlanner* p, Anchor lo, Anchor hi, uint64_t q, uint64_t size)
{
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    claim_sure_between(p->geometry, p->image_size, lo, hi, q, size, p->claims, clip, tag, &p->sure);
}

// The first byte of [begin, end) that another recording's located piece, or a copy of one,
// holds, or that two recordings' pieces took at once; `end` when none does.
uint64_t first_held(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag)
{
    uint64_t x = end;
    if (!first_foreign(claims, begin, end, clip, tag, &x))
        x = end;
    x = first_contested(claims, begin, x);
    for (uint64_t i = 0; claims && i < claims->spans.count; i++) {
        const ClaimedSpan& c = claims->spans.items[i];
        if (c.tentative == claim_copy && c.begin < x && begin < c.end && c.clip != clip && (c.tag == 0 || c.tag != tag))
            x = std::max(c.begin, begin);
    }
    return x;
}

// The bytes of sound placed at `at` in front of the first one that is another recording's on the card.
uint64_t sound_held(const MoviePlanner* p, const ChunkPlace* at, uint64_t size)
{
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    for (uint64_t from = 0, end; from < size; from = end) {
        end = place_run_end(at, from, size);
        uint64_t image = place_offset(at, from), x = first_held(p->claims, image, image + (end - from), clip, tag);
        if (x < image + (end - from))
            return from + (x - image);
    }
    return size;
}

// 1 when every run of sound placed at `at` lies inside the image.
int placed_on_card(const ChunkPlace* at, uint64_t size, uint64_t image_size)
{
    for (uint64_t from = 0, end; from < size; from = end) {
        end = place_run_end(at, from, size);
        uint64_t image = place_offset(at, from);
        if (image > image_size || image_size - image < end - from)
            return 0;
    }
    return 1;
}

// A chunk joined across a cut, whose bytes from the cut on also begin the cluster right behind its
// head: those bytes there are a copy of its rest (at least copy_least of them, which chance does
// not give), so no other recording's sound lies there. The copy ends no run and takes no edge.
constexpr uint64_t copy_least = 16;

void claim_copies(const MoviePlanner* p, uint64_t k, uint32_t clip, uint32_t tag, ClaimList* out)
{
    ChunkPlace place = video_place(p, k);
    uint64_t size = p->video->chunk_sizes[k], cs = p->geometry ? p->geometry->cluster_bytes : 0;
    uint8_t here[4096], there[4096];
    for (uint64_t from = 0, end; cs && (end = place_run_end(&place, from, size)) < size; from = end) {
        uint64_t behind = place_offset(&place, end - 1) + 1, rest = place_offset(&place, end);
        uint64_t n = std::min<uint64_t>({sizeof here, cs, size - end, p->image_size - std::max(behind, rest)});
        if (behind == rest || behind > p->image_size || rest > p->image_size || n < copy_least ||
            !image::read_at(p->image, behind, here, n) || !image::read_at(p->image, rest, there, n))
            continue;
        uint64_t same = 0;
        while (same < n && here[same] == there[same])
            same++;
        if (same >= copy_least)
            basics::list_append(&out->spans, ClaimedSpan{behind, behind + same, clip, tag, claim_copy});
    }
}

// The first `bytes` of chunk k as far as their content shows where they lie: the walk reads each
// unit's length field and nothing of its payload, so the bytes of the chunk's last unit behind the
// first cluster edge past its length field may lie in another run. A chunk the count of the
// clusters placed lies where the count puts each of its clusters, those bytes too.
uint64_t shown_bytes(const MoviePlanner* p, uint64_t k, uint64_t bytes)
{
    const image::ImageGeometry* g = p->geometry;
    uint64_t cs = g ? g->cluster_bytes : 0, size = p->video->chunk_sizes[k], f = p->video->chunk_offsets[k];
    mp4::SampleSizes sizes;
    if (cs == 0 || bytes != size || (p->counted && p->counted[k]) || !chunk_samples(p->video, k, &sizes) ||
        sizes.count == 0)
        return bytes;
    uint64_t last = mp4::sample_size_at(&sizes, sizes.count - 1);
    if (last > size || last > max_sample_bytes)
        return bytes;
    ChunkPlace place = video_place(p, k);
    grow_read_buffer(&direct_read_buffer, last);
    if (!read_placed(p->image, &place, size - last, direct_read_buffer.data, last))
        return bytes;
    uint64_t checked = size - last + codec::last_unit_at(direct_read_buffer.data, last) + 4;
    uint64_t edge = ((f + checked) / cs + 1) * cs - f;
    return edge < size ? edge : size;
}

// 1 when the content of chunk k shows where its end lies: a boundary may fall on any cluster edge
// behind the last byte its walk showed, in the payload of its last unit.
int end_shown(const MoviePlanner* p, uint64_t k)
{
    uint64_t size = p->video->chunk_sizes[k];
    return shown_bytes(p, k, size) >= size;
}

// The sound [q, q + size) walked back by its waveform from the cluster of `hi` to a first byte where
// `lo`, in the same cluster of the camera's file, puts it: every cluster of it proven so.
int walked_back_to(const MoviePlanner* p, JoinAnchor lo, JoinAnchor hi, uint64_t q, uint64_t size, PcmFormat pcm,
                   ChunkPlace* out)
{
    uint64_t cs = p->geometry ? p->geometry->cluster_bytes : 0;
    uint32_t tag = p->clip->run ? p->clip->run->tag : 0;
    JoinAnchor head;
    ChunkPlace sound;
    if (cs == 0 || q < lo.file || lo.file / cs != q / cs || lo.image > UINT64_MAX - (q - lo.file) ||
        !sound_head_by_waveform(p->image, p->image_size, p->geometry, p->claims, p->clip->clip_number, tag, hi, q,
                                size, pcm, &head, &sound) ||
        head.image != lo.image + (q - lo.file))
        return 0;
    *out = sound;
    return 1;
}

// Chunk k with an open tail made whole from where its tail and sound were placed together (`span`,
// from the tail's first byte): its last sample must walk intact across its runs, cut once at most.
int close_tail(MoviePlanner* p, uint64_t k, const ChunkPlace* span)
{
    uint64_t open = p->open_tail[k], size = p->video->chunk_sizes[k];
    mp4::SampleSizes sizes;
    if (!chunk_samples(p->video, k, &sizes) || sizes.count == 0)
        return 0;
    uint64_t last = mp4::sample_size_at(&sizes, sizes.count - 1), start = size - last;
    ChunkPlace whole = video_place(p, k);
    if (place_offset(&whole, open - 1) + 1 != place_offset(span, 0) && !add_run(&whole, open, place_offset(span, 0)))
        return 0;
    for (uint64_t x = 0; (x = place_run_end(span, x, size - open)) < size - open;)
        if (!add_run(&whole, open + x, place_offset(span, x)))
            return 0;
    // no sample is cut twice
    uint64_t cuts = 0;
    for (uint64_t x = start; (x = place_run_end(&whole, x, size)) < size;)
        cuts++;
    if (cuts > 1 || last > max_sample_bytes)
        return 0;
    grow_read_buffer(&direct_read_buffer, last);
    codec::Syntax syntax = codec::syntax_of(p->video->format);
    if (p->on_card[k] + 1 != sizes.count || is_refused(p->refused, place_offset(&whole, start)) ||
        !read_placed(p->image, &whole, start, direct_read_buffer.data, last) ||
        !sample_intact(direct_read_buffer.data, last, syntax))
        return 0;
    uint64_t s = p->video->chunk_first_sample[k] + sizes.count - 1;
    p->key[s] = uint8_t(codec::sample_is_key(direct_read_buffer.data, last, syntax == codec::Syntax::hevc));
    p->cut[k] = whole;
    p->open_tail[k] = 0;
    p->found[k] = 1;
    p->on_card[k] = sizes.count;
    p->end_seen[k] = 1;
    p->joins++;
    return 1;
}

// The last piece of video chunk k among the planner's sure pieces (the head of a sample shown in
// exactly one cluster, or bytes every way of joining the chunk places alike); 0 when none is.
int last_sure_piece(const MoviePlanner* p, uint64_t k, Anchor* out)
{
    uint64_t f = p->video->chunk_offsets[k], end = f + p->video->chunk_sizes[k];
    int found = 0;
    for (uint64_t i = 0; i < p->sure.count; i++) {
        const ClaimedSpan* c = &p->sure.items[i];
        if (c->file != UINT64_MAX && c->file >= f && c->file < end && !c->tentative && !c->inferred && !c->by_room &&
            (!found || c->file > out->file))
            *out = Anchor{c->file, c->begin}, found = 1;
    }
    return found;
}

}  // namespace

// Sound chunk j is taken when its video chunk is on the card and the next piece of the camera's file
// behind it (the next metadata chunk's kkad box, the next video chunk, or the movie box) is
// still where the layout puts it: overwritten clusters that reach into the sound from there would
// have taken that piece with them.
int place_sound(MoviePlanner* p)
{
    uint64_t placed = 0, threaded_only = 0, left = 0;
    const mp4::MovieInfo* m = p->movie;
    const ClipHeader* h = p->clip->header;
    AnchorList anchors;
    basics::list_append(&anchors, Anchor{0, h->header_offset});
    for (uint64_t k = 0; k < p->chunks; k++)
        add_chunk_anchors(p, k, &anchors);
    uint64_t movie_at = p->media_end;
    if (movie_at != UINT64_MAX)
        basics::list_append(&anchors, Anchor{movie_at, m->moov_offset});
    sort_anchors(&anchors);
    add_marker_anchors(p, &anchors);
    for (uint64_t i = 0; i < p->kkad.count; i++)
        basics::list_append(&anchors, p->kkad.items[i]);
    sort_anchors(&anchors);
    const mp4::TrackTables* a = &m->audio;
    OwnPieces own{};
    gather_own_pieces(p, &own);
    for (uint64_t j = 0; j < p->chunks; j++) {
        uint64_t q = a->chunk_offsets[j], size = a->chunk_sizes[j], open = p->open_tail[j];
        // a chunk whose end is not seen: a later piece of it located in the run of the next piece
        // behind the sound puts the rest of the chunk and the sound where they lie
        Anchor last{};
        int by_head = !p->end_seen[j] && !open && p->on_card[j] && last_sure_piece(p, j, &last);
        if ((!p->end_seen[j] && !open && !by_head) || q > UINT64_MAX - size)
            continue;
        left++;
        // the sound lies between the end of its video chunk and the next piece, both in place; the
        // open tail of the chunk's last sample lies in front of it, from the last byte shown on
        uint64_t video_end = p->video->chunk_offsets[j] + p->video->chunk_sizes[j];
        uint64_t next_piece = j + 1 < p->chunks ? p->video->chunk_offsets[j + 1] : movie_at;
        uint64_t from = open ? p->video->chunk_offsets[j] + open : q, bytes = q + size - from;
        const Anchor* lo = by_head ? &last : anchor_upto(&anchors, from);
        const Anchor* hi = anchor_from(&anchors, q + size);
        if (!lo || !hi || hi->file > next_piece || q < video_end || (by_head && !same_run(lo, hi)) ||
            (open ? lo->file + 1 != from || anchor_upto(&anchors, q + size - 1) != lo
                  : lo->file < video_end && !by_head))
            continue;
        ChunkPlace at{lo->image + (from - lo->file), 0, 0};
        int threaded = 0, proven = 0;
        PcmFormat pcm;
        // a fragment boundary between the two pieces: joined only where the layout, or the other
        // recordings' pieces around the runs, leave one edge for it; then placed by the room the
        // others' pieces leave, not by two pieces of its own
        uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
        int by_room = !same_run(lo, hi) && !join_between(p->geometry, p->image_size, *lo, *hi, from, bytes, &at);
        // or where counting the clusters between the two leaves one way
        int counted = 0;
        if (by_room && !join_by_claims(p->geometry, p->image_size, *lo, *hi, from, bytes, p->claims, clip, tag, &at) &&
            !(counted = place_by_count(p, &own, from, bytes, &at))) {
            // or where the open sound of all recordings together leaves one edge
            const SoundGap* settled = settled_gap(p->claims, clip, from, bytes);
            // or in the clusters the other recordings' pieces leave free between the two, weighed
            // again on every pass
            if (!settled)
                note_open_sound(*lo, *hi, from, bytes, clip, tag, &p->open);
            if (settled && settled->lo_image == lo->image && settled->hi_image == hi->image) {
                at = placed_at_cut(*lo, *hi, settled->edges[0], from, bytes);
            } else if (threaded_place(p->geometry, p->claims, clip, *lo, *hi, from, bytes, &at)) {
                threaded = 1;
            } else if (pcm_format_of(&a->sound, &pcm) &&
                       place_by_waveform(p->image, p->image_size, p->geometry, p->claims, clip, tag, *lo, *hi, from,
                                         bytes, q, size, pcm, &at)) {
                // the sound's own samples prove where it lies
                by_room = 0, proven = 1;
            } else if (!open && pcm_format_of(&a->sound, &pcm) && walked_back_to(p, *lo, *hi, q, size, pcm, &at)) {
                // or lead back to it from the next piece, round the heap's end too
                by_room = 0, proven = 1;
            } else {
                note_sound_gap(p->geometry, p->image_size, *lo, *hi, from, bytes, p->claims, clip, tag, &p->gaps);
                uint64_t sure = p->sure.count;
                note_sure_sound(p, *lo, *hi, from, bytes);
                // behind a chunk whose end its content does not show, the sound's place is no surer
                // than that end: it only ends runs, as the chunk's bytes behind what was shown do
                if (!open && lo->file == video_end && !end_shown(p, j))
                    for (uint64_t i = sure; i < p->sure.count; i++)
                        p->sure.items[i].tentative = 1;
                continue;
            }
        }
        if (counted)
            by_room = 0, proven = 1;
        // sound placed by the room the others leave where its own samples prove the same clusters,
        // every other way stepping at an edge: a piece the others may count by
        ChunkPlace proof;
        if (by_room && pcm_format_of(&a->sound, &pcm) &&
            place_by_waveform(p->image, p->image_size, p->geometry, p->claims, clip, tag, *lo, *hi, from, bytes, q, size,
                              pcm, &proof) &&
            same_place(&proof, &at))
            by_room = 0;
        if (!placed_on_card(&at, bytes, p->image_size))
            continue;
        // the chunk's tail and its sound placed together: the chunk is whole when its tail is the
        // recording's and its last sample walks across it
        ChunkPlace span = at;
        if (open && (sound_held(p, &span, bytes) < video_end - from || !place_part(&span, q - from, size, &at) ||
                     !close_tail(p, j, &span)))
            continue;
        // the frames whose sound another recording's bytes took are not kept
        uint64_t held = sound_held(p, &at, size);
        // sound placed by the room the others leave, or joined across a boundary, is not taken
        // where it holds samples past a step at a cluster edge: a cluster there is another's
        uint64_t cs = p->geometry ? p->geometry->cluster_bytes : 0;
        if ((by_room || at.cut) && pcm_format_of(&a->sound, &pcm) &&
            smooth_bytes(p->image, p->image_size, cs, &at, q, size, pcm) < held)
            continue;
        if (held == 0)
            continue;
        p->sound_placed[j] = by_room ? placed_by_room : 1;
        p->sound_bytes[j] = held;
        p->sound_at[j] = at;
        // what follows the sound up to the next piece lies in that piece's run, unless the sound
        // lies whole in the run before a boundary that may fall anywhere behind it; behind sound
        // its samples placed, only in the cluster the piece lies in
        if (proven ? (q + size - 1) / cs == hi->file / cs
                   : same_run(lo, hi) || (span.cut && !threaded) || span.at == hi->image - (hi->file - from))
            p->trail_at[j] = hi->image - (hi->file - (q + size)), p->trail_bytes[j] = hi->file - (q + size);
        p->joins += at.cut != 0;
        threaded_only += threaded;
        placed++;
    }
    basics::list_free(&anchors);
    free_own_pieces(&own);
    // sound found only in the runs the others leave free, for some chunks but not all: the picture
    // alone keeps the frames whose sound is not found
    if (placed == threaded_only && placed < left)
        return 0;
    return placed > 0;
}

void claim_pieces(const MoviePlanner* p, ClaimList* out)
{
    uint32_t tag = p->clip->run ? p->clip->run->tag : 0, clip = p->clip->clip_number;
    const ClipHeader* h = p->clip->header;
    ClaimedSpan header{h->header_offset, h->mdat_offset, clip, tag};
    header.bound = file_starts;
    basics::list_append(&out->spans, header);
    ClaimedSpan movie{0, 0, clip, tag};
    // the movie box ends the file where it follows the media data
    movie.bound = p->media_end != UINT64_MAX ? file_ends : 0;
    movie.file = p->media_end;
    claim_movie_box(p->movie, movie, out);
    for (uint64_t k = 0; k < p->chunks; k++) {
        // only placed sound has sizes to read: a damaged movie box may hold fewer sound chunks
        const ChunkPlace& a = p->sound_at[k];
        uint64_t size = p->sound_placed[k] ? p->movie->audio.chunk_sizes[k] : 0;
        ClaimedSpan sound{a.at, a.at + (a.cut ? a.cut : size), clip, tag, 0,
                          a.cut || !size ? UINT64_MAX : p->movie->audio.chunk_offsets[k]};
        sound.by_room = p->sound_placed[k] == placed_by_room;
        sound.sound_of = p->sound_placed[k] ? p->movie->audio.chunk_offsets[k] : UINT64_MAX;
        if (p->sound_placed[k])
            basics::list_append(&out->spans, sound);
        // each run behind a cut
        for (uint64_t from = a.cut, end; p->sound_placed[k] && a.cut && from < size; from = end) {
            end = place_run_end(&a, from, size);
            sound.begin = place_offset(&a, from);
            sound.end = sound.begin + (end - from);
            sound.file = UINT64_MAX;
            basics::list_append(&out->spans, sound);
        }
        // what follows sound placed by the room lies where that placing says, no surer
        ClaimedSpan trail{p->trail_at[k], p->trail_at[k] + p->trail_bytes[k], clip, tag};
        trail.by_room = sound.by_room;
        trail.sound_of = sound.sound_of;
        if (p->trail_bytes[k])
            basics::list_append(&out->spans, trail);
    }
    for (uint64_t i = 0; i < p->sure.count; i++)
        basics::list_append(&out->spans, p->sure.items[i]);
    for (uint64_t i = 0; i < p->gaps.count; i++)
        basics::list_append(&out->gaps, p->gaps.items[i]);
    for (uint64_t i = 0; i < p->open.count; i++)
        basics::list_append(&out->open, p->open.items[i]);
    for (uint64_t k = 0; k < p->chunks; k++) {
        if (p->cut[k].cut)
            claim_copies(p, k, clip, tag, out);
        // a chunk with an open tail is shown up to it
        uint64_t bytes = p->open_tail[k] ? p->open_tail[k] : leading_bytes(p->video, k, p->on_card[k]);
        uint64_t shown = shown_bytes(p, k, bytes);
        ChunkPlace place = video_place(p, k);
        // each run of the chunk's verified bytes; those behind the last edge the walk reached only
        // end runs
        for (uint64_t from = 0; from < bytes;) {
            uint64_t end = place_run_end(&place, from, bytes), at = place_offset(&place, from);
            uint64_t sure = std::min(std::max(shown, from), end);
            if (sure > from)
                basics::list_append(&out->spans, ClaimedSpan{at, at + (sure - from), clip, tag, 0,
                                                             p->video->chunk_offsets[k] + from});
            if (end > sure)
                basics::list_append(&out->spans, ClaimedSpan{at + (sure - from), at + (end - from), clip, tag, 1});
            from = end;
        }
    }
}

}  // namespace salvage
