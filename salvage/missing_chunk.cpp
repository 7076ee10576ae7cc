// The movie box gives every chunk's file offset and sample sizes, and the camera's file lies in
// the image in long runs of clusters, so a chunk the documented rules did not find is first looked
// for at the distance from its located neighbours that it had in the camera's file, then anywhere
// between them, and last for the samples it still holds before overwritten clusters begin.
#include "salvage/missing_chunk.h"

#include <algorithm>

#include "analysis/chunk_locate.h"
#include "basics/growable.h"
#include "codec/nal_units.h"
#include "mp4/sample_tables.h"
#include "mp4/track_boxes.h"
#include "salvage/chunk_place.h"
#include "salvage/count_join.h"
#include "salvage/cut_join.h"
#include "salvage/damaged_chunk.h"
#include "salvage/decode_join.h"
#include "salvage/join_anchors.h"
#include "salvage/layout_join.h"
#include "salvage/pcm_format.h"
#include "salvage/sound_continuity.h"
#include "salvage/tail_layout.h"

namespace salvage {

using namespace analysis;

namespace {

constexpr uint64_t between_search_limit = 0x4000000;  // 64 MiB between two located neighbours

using Anchor = JoinAnchor;

// Where chunk k lies if the camera's file runs unbroken from located chunk j to it.
int keeps_distance(const MoviePlanner* p, uint64_t k, uint64_t j, uint64_t* out)
{
    const uint64_t* f = p->video->chunk_offsets;
    uint64_t at = p->found_at[j], from = f[j];
    if (p->cut[j].cut && f[k] > f[j]) {
        // behind a joined chunk its last run goes on
        ChunkPlace place = video_place(p, j);
        uint64_t rest;
        place_last_run(&place, &rest, &at);
        from = f[j] + rest;
    }
    if (f[k] >= from ? f[k] - from > UINT64_MAX - at : from - f[k] > at)
        return 0;
    *out = f[k] >= from ? at + (f[k] - from) : at - (from - f[k]);
    return 1;
}

// How many leading samples of chunk k are the camera's at image offset `at`, and whether its last
// sample is intact too (the overwritten clusters ended inside the chunk).
uint64_t verified_prefix(const MoviePlanner* p, uint64_t k, uint64_t at, int* end_ok)
{
    mp4::SampleSizes sizes;
    uint64_t size = p->video->chunk_sizes[k];
    *end_ok = 0;
    if (!chunk_samples(p->video, k, &sizes) || sizes.count == 0 || size > max_sample_bytes)
        return 0;
    uint64_t have = read_chunk_start(p->image, p->image_size, at, size);
    if (have == 0)
        return 0;
    const uint8_t* bytes = direct_read_buffer.data;
    codec::Syntax syntax = codec::syntax_of(p->video->format);
    uint64_t n = leading_camera_samples(bytes, have, &sizes, syntax, at, p->geometry);
    uint64_t last = mp4::sample_size_at(&sizes, sizes.count - 1);
    *end_ok = n == sizes.count || (have == size && sample_intact(bytes + size - last, last, syntax));
    return n;
}

// Where the kkad box in front of chunk k puts its start when the box's cluster holds that start:
// one cluster is never split between runs.
int behind_own_box(const MoviePlanner* p, uint64_t k, uint64_t* out)
{
    uint64_t f = p->video->chunk_offsets[k], cs = p->geometry ? p->geometry->cluster_bytes : 0;
    const Anchor* a = anchor_upto(&p->kkad, f);
    if (!a || cs == 0 || a->image < p->geometry->heap_offset || a->file / cs != f / cs ||
        a->image > UINT64_MAX - (f - a->file))
        return 0;
    *out = a->image + (f - a->file);
    return (a->image - p->geometry->heap_offset) / cs == (*out - p->geometry->heap_offset) / cs;
}

// Where chunk k starts when a cluster edge lies between it and the kkad box in front of it: the
// chunk's cluster is one of the next few the box's run and the others' runs leave, at the same
// offset in it as in the file's cluster. Taken only when exactly one of them holds the chunk's
// first samples as the movie box gives their sizes, and no other recording's piece holds it.
int behind_box_runs(const MoviePlanner* p, uint64_t k, uint64_t* out)
{
    uint64_t f = p->video->chunk_offsets[k], cs = p->geometry ? p->geometry->cluster_bytes : 0;
    const Anchor* a = anchor_upto(&p->kkad, f);
    if (!a || cs == 0 || a->image < p->geometry->heap_offset || a->file / cs == f / cs)
        return 0;
    uint64_t heap = p->geometry->heap_offset, first = (a->image - heap) / cs + (f / cs - a->file / cs);
    uint32_t clip = p->clip->clip_number, tag = p->clip->run ? p->clip->run->tag : 0;
    int found = 0;
    for (uint64_t c = first; c < first + join_window_clusters; c++) {
        uint64_t at = heap + c * cs + f % cs, other = 0;
        int end_ok = 0;
        if (at >= p->image_size)
            break;
        if (first_foreign(p->claims, at, at + 1, clip, tag, &other) || verified_prefix(p, k, at, &end_ok) == 0)
            continue;
        if (found++)
            return 0;
        *out = at;
    }
    return found;
}

// A chunk that is not on the card whole may still hold its first samples where its neighbours,
// or its kkad box, put it: overwritten clusters, or a fragment boundary, that begin inside it
// leave the samples before them.
void find_leading_samples(MoviePlanner* p, uint64_t k, const uint64_t* before, const uint64_t* after)
{
    uint64_t box_at, run_at;
    int has_box = behind_own_box(p, k, &box_at), has_run = !has_box && behind_box_runs(p, k, &run_at);
    const uint64_t* sides[4] = {before, after, has_box ? &box_at : nullptr, has_run ? &run_at : nullptr};
    for (int i = 0; i < 4; i++) {
        uint64_t guess;
        int end_ok = 0;
        if (!sides[i] || (i < 2 && !keeps_distance(p, k, *sides[i], &guess)))
            continue;
        if (i >= 2)
            guess = *sides[i];
        uint64_t n = verified_prefix(p, k, guess, &end_ok);
        if (n > p->on_card[k]) {
            p->on_card[k] = n;
            p->found_at[k] = guess;
            p->end_seen[k] = end_ok;
        }
    }
}

// Where chunk k lies if the camera's file runs unbroken from it to the movie box, which follows
// the media data.
int keeps_distance_to_movie(const MoviePlanner* p, uint64_t k, uint64_t* out)
{
    uint64_t chunk = p->video->chunk_offsets[k];
    if (p->media_end == UINT64_MAX || p->media_end < chunk)
        return 0;
    uint64_t back = p->media_end - chunk;
    if (p->movie->moov_offset < back)
        return 0;
    *out = p->movie->moov_offset - back;
    return 1;
}

// A chunk joined so that its last run goes on to a piece of the file behind its sound says that
// run holds the sound whole: a clear step in the sound at a cluster edge there shows another
// file's cluster inside the run, and the join does not hold.
int sound_steps_in_last_run(const MoviePlanner* p, uint64_t k, const ChunkPlace* joined, const Anchor* next,
                            uint64_t count)
{
    const mp4::TrackTables* a = &p->movie->audio;
    uint64_t cs = p->geometry ? p->geometry->cluster_bytes : 0, from, at;
    PcmFormat pcm;
    if (!joined->cut || cs == 0 || !p->movie->has_audio || k >= a->chunk_count || !pcm_format_of(&a->sound, &pcm))
        return 0;
    place_last_run(joined, &from, &at);
    uint64_t cut = p->video->chunk_offsets[k] + from, q = a->chunk_offsets[k], size = a->chunk_sizes[k];
    if (q < cut || q > UINT64_MAX - size)
        return 0;
    for (uint64_t i = 0; i < count; i++)
        if (next[i].file >= q + size && next[i].image >= next[i].file - cut && at == next[i].image - (next[i].file - cut)) {
            ChunkPlace sound{at + (q - cut), 0, 0};
            return smooth_bytes(p->image, p->image_size, cs, &sound, q, size, pcm) < size;
        }
    return 0;
}

// Of the ways of joining chunk k that all walk (`ways`, every one the search's bounds allow), the
// one the decoder alone takes: payload a cut falls in walks on either side of a cluster edge, and
// another recording's payload spliced into a picture does not decode cleanly. 1 and `out` filled
// when exactly one way decodes cleanly, the whole chunk from its first sample.
int one_way_decodes(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes,
                    const basics::Growable<ChunkPlace, 4>* ways, ChunkPlace* out)
{
    mp4::BoxHeader entry;
    if (!p->decode_check || ways->count < 2 ||
        !mp4::find_sample_entry(p->movie->moov_bytes, p->movie->moov_size, "vide", &entry))
        return 0;
    const uint8_t* bytes = p->movie->moov_bytes + entry.offset;
    uint64_t clean = 0;
    for (uint64_t i = 0; i < ways->count; i++) {
        if (chunk_walks_at(p, k, sizes, &ways->items[i], bytes, uint32_t(entry.size))) {
            if (clean++)
                return 0;  // two ways decode: the decoder does not tell which is the camera's
            *out = ways->items[i];
        }
    }
    return clean == 1;
}

// A chunk a fragment boundary cut: its head where its verified leading samples, its kkad box or
// the located chunk before it put it, its rest where the recording's next kkad box or located
// chunk puts the run after the cut.
void join_cut(MoviePlanner* p, uint64_t k, const mp4::SampleSizes& sizes, const uint64_t* before, uint64_t foreign_at)
{
    uint64_t f = p->video->chunk_offsets[k], heads[3], n = 0, guess;
    if (p->on_card[k])
        heads[n++] = p->found_at[k];
    if (const Anchor* a = anchor_upto(&p->kkad, f))
        if (a->image <= UINT64_MAX - (f - a->file))
            heads[n++] = a->image + (f - a->file);
    if (before && keeps_distance(p, k, *before, &guess))
        heads[n++] = guess;
    Anchor next[join_anchors_tried];
    uint64_t count = 0, after = 0;
    if (const Anchor* a = anchor_from(&p->kkad, f + 1))
        next[count++] = *a;
    if (neighbour(p, k, 1, &after) && !p->cut[after].cut)
        next[count++] = Anchor{p->video->chunk_offsets[after], p->found_at[after]};
    else if (count < join_anchors_tried && k + 1 == p->chunks && movie_anchor(p, &next[count]))
        count++;  // behind the last chunk, the movie box is the next piece of the file
    codec::Syntax syntax = codec::syntax_of(p->video->format);
    // the ways the count of the clusters around the chunk allows
    OwnPieces own{};
    chunk_own_pieces(p, k, &sizes, &own);
    CountedStretch stretch;
    JoinWindow window{p->claims, p->clip->clip_number, p->clip->run ? p->clip->run->tag : 0,
                      stretch_for_chunk(p, k, &own, &stretch) ? &stretch : nullptr};
    ChunkPlace first_open{};
    uint64_t open_from = 0, tried = 0;
    // with one head, the bytes every way of joining the chunk places alike are the recording's
    basics::Growable<ClaimedSpan, 16> sure{};
    for (uint64_t i = 0; i < n; i++) {
        ChunkPlace joined;
        uint64_t open = 0;
        if (i > 0 && heads[i] == heads[i - 1])
            continue;
        tried++;
        basics::Growable<ChunkPlace, 4> ways{};
        int walked = join_video_chunk(p->image, p->image_size, p->geometry, f, heads[i], &sizes, syntax, next, count,
                                      foreign_at, &window, &joined, &open, tried == 1 ? &sure : nullptr, &ways);
        // several ways walk: the decoder judges them
        if (!walked && one_way_decodes(p, k, &sizes, &ways, &joined))
            walked = 1, open = 0;
        basics::list_free(&ways);
        if (walked) {
            // the cluster of the next piece, or of the sound that leads back to the chunk, holds the
            // chunk's last bytes that its walk laid elsewhere or left open
            Anchor pieces[join_anchors_tried + 1];
            uint64_t known = std::copy(next, next + count, pieces) - pieces;
            int head = sound_head_anchor(p, k, next, count, &pieces[known]);
            known += head;
            int held = 0;
            for (uint64_t j = 0; j < known && !held; j++)
                held = rejoin_at_anchor(p, k, pieces[j], &joined);
            // or the sound's waveform, proven back to its first byte, puts the cluster of that byte
            // where the join lays the chunk's tail
            held = held || (head && tail_held_at_anchor(p, k, pieces[known - 1], &joined));
            if (held)
                open = 0;
            if (!open && sound_steps_in_last_run(p, k, &joined, next, count)) {
                // the rest of the last sample, payload no walk shows, is looked for with the sound
                uint64_t from, at, size = p->video->chunk_sizes[k];
                place_last_run(&joined, &from, &at);
                if (!open_from && sizes.count && from > size - mp4::sample_size_at(&sizes, sizes.count - 1)) {
                    if (joined.later)
                        joined.later--;
                    else
                        joined.cut = joined.tail = 0;
                    first_open = joined, open_from = from;
                }
                continue;
            }
            // a join that walks the last sample whole over an edge inside its last unit's payload
            // places the bytes behind the edge no better than a chunk found whole does
            if (!open && !held)
                open = joined_tail_open(p, k, &joined);
            if (open) {
                if (!open_from)
                    first_open = joined, open_from = open;
                continue;
            }
            p->found[k] = 1;
            p->found_at[k] = joined.at;
            p->cut[k] = joined;
            p->joins++;
            basics::list_free(&sure);
            free_own_pieces(&own);
            return;
        }
    }
    // payload on both sides of its cuts: placed where counting the clusters around leaves one way
    ChunkPlace counted;
    int placed = video_by_count(p, k, &sizes, &own, &counted);
    // or where the decoder settles the ways the count leaves
    placed = placed || video_by_decoding(p, k, &sizes, &own, &window, next, count, &counted);
    free_own_pieces(&own);
    if (placed) {
        p->found[k] = 1, p->found_at[k] = counted.at, p->cut[k] = counted, p->counted[k] = 1, p->joins++;
        basics::list_free(&sure);
        return;
    }
    for (uint64_t i = 0; tried == 1 && !open_from && i < sure.count; i++)
        basics::list_append(&p->sure, sure.items[i]);
    basics::list_free(&sure);
    // placed but for the tail of its last sample: its samples in front of that are the camera's,
    // and the tail is looked for with the sound behind it
    if (open_from) {
        p->found_at[k] = first_open.at;
        p->cut[k] = first_open;
        p->open_tail[k] = open_from;
        p->on_card[k] = sizes.count - 1;
        p->end_seen[k] = 0;
    }
}

}  // namespace

void find_missing_chunk(MoviePlanner* p, uint64_t k)
{
    mp4::SampleSizes sizes;
    if (!chunk_samples(p->video, k, &sizes))
        return;
    const char* format = p->video->format;
    uint64_t before = 0, after = 0, guess;
    int has_before = neighbour(p, k, -1, &before), has_after = neighbour(p, k, 1, &after);
    for (int side = 0; side < 3; side++) {
        // behind the last chunk found, the movie box is the next piece of the file in place
        int has = side == 2 ? !has_after && keeps_distance_to_movie(p, k, &guess)
                            : (side ? has_after : has_before) && keeps_distance(p, k, side ? after : before, &guess);
        if (has && verify_chunk_at(p->image, p->image_size, guess, &sizes, format)) {
            p->found[k] = 1;
            p->found_at[k] = guess;
            return;
        }
    }
    // the clusters between the neighbours were not written in one run: anywhere between them
    // (a file that goes on at the heap's start has its next chunk found before it)
    uint64_t low = has_before ? p->found_at[before] + p->video->chunk_sizes[before] : p->clip->header->mdat_offset;
    uint64_t high = has_after ? p->found_at[after] : p->image_size;
    uint64_t span = high <= low ? 0 : high - low < between_search_limit ? high - low : between_search_limit;
    if (span && find_chunk_in_window(p->image, p->image_size, low, 0, span, &sizes, format, &guess)) {
        p->found[k] = 1;
        p->found_at[k] = guess;
        return;
    }
    find_leading_samples(p, k, has_before ? &before : nullptr, has_after ? &after : nullptr);
    join_cut(p, k, sizes, has_before ? &before : nullptr, 0);
}

void recheck_found_chunk(MoviePlanner* p, uint64_t k)
{
    const RecoveryClip* c = p->clip;
    uint64_t at = p->found_at[k], size = p->video->chunk_sizes[k], other = 0, open = 0;
    mp4::SampleSizes sizes;
    if (p->cut[k].cut || !chunk_samples(p->video, k, &sizes))
        return;
    int held = first_foreign(p->claims, at, at + size, c->clip_number, c->run ? c->run->tag : 0, &other);
    if (held && other == at)
        return;
    if (tail_cut(p, k, &open) && (!held || at + open < other))
        other = at + open, held = 1;
    if (!held) {
        settle_tail_by_layout(p, k);
        return;
    }
    p->found[k] = 0;
    uint64_t before = 0;
    int has_before = neighbour(p, k, -1, &before);
    join_cut(p, k, sizes, has_before ? &before : nullptr, other - at);
    if (p->found[k] || p->open_tail[k])
        return;
    uint64_t n = 0, bytes = 0;
    while (n < sizes.count && bytes + mp4::sample_size_at(&sizes, n) <= other - at)
        bytes += mp4::sample_size_at(&sizes, n++);
    p->on_card[k] = n;
    p->found_at[k] = at;
    p->end_seen[k] = 0;
}

}  // namespace salvage
