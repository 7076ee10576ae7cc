#include "salvage/plan_without_movie.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "codec/parameter_sets.h"
#include "analysis/recording_runs.h"
#include "salvage/chunk_claims.h"
#include "salvage/cut_headers.h"
#include "salvage/chunk_sound.h"
#include "salvage/cut_join.h"
#include "salvage/salvage_chunks.h"
#include "salvage/stream_settings.h"
#include "salvage/stream_order.h"
#include "salvage/run_input.h"
#include "mp4/box.h"
#include "mp4/track_boxes.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/read_at.h"

namespace salvage {

using namespace analysis;

namespace {

// The kept samples and pieces while a plan is being built.
struct Building {
    basics::Growable<uint32_t, 1024> sizes;
    basics::Growable<uint8_t, 1024> keys;
    basics::Growable<int64_t, 1024> offsets;  // composition offsets, before the shift that makes them all >= 0
    basics::Growable<SalvagePiece, 64> pieces;
    basics::Growable<PieceRun, 64> runs;  // the runs behind the tails of pieces cut more than once
    uint64_t sound_kept;
    uint64_t video_gaps;
    int video_pending_gap;  // samples missing since the last kept video sample
    int sound_pending_gap;
};

void free_building(Building* b)
{
    basics::list_free(&b->sizes);
    basics::list_free(&b->keys);
    basics::list_free(&b->offsets);
    basics::list_free(&b->pieces);
    basics::list_free(&b->runs);
}

uint64_t sum_sizes(const uint32_t* sizes, uint32_t n)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; i++)
        total += sizes[i];
    return total;
}

void add_piece(Building* b, uint32_t track, int* pending_gap, uint64_t at, uint64_t length, uint64_t first,
               uint64_t count)
{
    SalvagePiece p = {track, uint32_t(*pending_gap), at, length, first, count, 0, 0};
    basics::list_append(&b->pieces, p);
    *pending_gap = 0;
}

// The sound samples behind a chunk: its own where the recording shows them, else the stream's
// usual; 0 when its sound varies and nothing shows the chunk's.
uint64_t chunk_sound_samples(const StreamSettings* s, const SalvageChunk* c)
{
    uint64_t bytes = c->sound_unproven ? 0 : c->sound_bytes ? c->sound_bytes : s->sound_chunk_bytes;
    if (!s->sound_sample_size || bytes % s->sound_sample_size)
        return 0;
    return bytes / s->sound_sample_size;
}

// Where the sound the camera wrote right behind a chunk starts, and how many of its samples
// the image holds (the end of the image may cut it).
uint64_t sound_on_card(const StreamSettings* s, const SalvageChunk* c, uint64_t image_size, uint64_t* at)
{
    *at = c->sound.at;
    uint64_t per_chunk = chunk_sound_samples(s, c);
    if (!c->sound_follows || *at >= image_size)
        return 0;
    if (c->sound.cut)  // joined across fragment boundaries: all its runs are on the card
        return per_chunk;
    uint64_t held = (image_size - *at) / s->sound_sample_size;
    return held < per_chunk ? held : per_chunk;
}

// The end of the chunk's samples that have their whole sound on the card: a frame without its
// sound cannot be kept, or the sound after it would run behind the picture (and at the end of a
// recording, the picture would outlast its sound).
uint32_t sounded_end(const StreamSettings* s, const SalvageChunk* c, uint64_t image_size)
{
    uint64_t at, per_chunk = chunk_sound_samples(s, c);
    if (!s->sound_chunk_bytes)
        return c->samples;
    if (!per_chunk)
        return 0;
    uint64_t end = sound_on_card(s, c, image_size, &at) * camera_chunk_samples / per_chunk;
    return end < c->samples ? uint32_t(end) : c->samples;
}

// The sound of the chunk's samples [first, end), in pieces that each hold one cut at most: sound
// cut several times is split between its samples.
void keep_sound(Building* b, const StreamSettings* s, const SalvageChunk* c, uint64_t chunk_frame, uint32_t first,
                uint32_t end)
{
    uint64_t per_chunk = chunk_sound_samples(s, c), size = s->sound_sample_size, skip, count;
    const ChunkTime time = {chunk_frame, chunk_frame == UINT64_MAX ? 0 : s->video_timescale, s->video_delta,
                            s->sound_delta == 1 ? s->sound_timescale : 0};
    sound_share(per_chunk, camera_chunk_samples, first, end, &time, &skip, &count);
    for (uint64_t a = skip, stop = skip + count; a < stop;) {
        uint64_t from = a * size, cut = place_run_end(&c->sound, from, UINT64_MAX);
        // up to the last sample that ends in front of the cut behind the first
        uint64_t e = std::min(stop, std::max(a + 1, place_run_end(&c->sound, cut, UINT64_MAX) / size));
        add_piece(b, salvage_sound, &b->sound_pending_gap, place_offset(&c->sound, from), (e - a) * size,
                  b->sound_kept, e - a);
        if (cut > from && cut < e * size) {  // the piece runs across a cut
            b->pieces.items[b->pieces.count - 1].head_length = cut - from;
            b->pieces.items[b->pieces.count - 1].tail_offset = place_offset(&c->sound, cut);
        }
        b->sound_kept += e - a;
        a = e;
    }
}

// A chunk cut before the first of its samples that was refused.
SalvageChunk without_refused(const RunInput* in, const SalvageChunk* c)
{
    SalvageChunk kept = *c;
    uint64_t at = 0;
    for (uint32_t i = 0; i < c->samples; at += c->sizes[i++])
        if (is_refused(&in->refused, salvage_chunk_offset(c, at))) {
            kept.samples = i;
            return kept;
        }
    return kept;
}

// The slot (chunk times twelve plus sample) of the chunk sample at image offset `offset`, among
// the first `usable_end` samples of each chunk; 0 when none is there.
int slot_at(const SalvageChunkList* chunks, const uint32_t* usable_end, uint64_t offset, size_t* slot)
{
    for (size_t ci = 0; ci < chunks->count; ci++) {
        const SalvageChunk* c = &chunks->items[ci];
        uint64_t at = 0;
        for (uint32_t i = 0; i < usable_end[ci] && i < c->samples; at += c->sizes[i++])
            if (salvage_chunk_offset(c, at) == offset) {
                *slot = ci * camera_chunk_samples + i;
                return 1;
            }
    }
    return 0;
}

// Leaves usable only the samples of the part the refusals ask for; 0 when a bound is not on the card.
int keep_part(const RunInput* in, const SalvageChunkList* chunks, const uint32_t* usable_end, OrderedSample* order,
              size_t n)
{
    size_t begin = 0, end = n;
    if ((in->refused.from && !slot_at(chunks, usable_end, in->refused.from, &begin)) ||
        (in->refused.until && !slot_at(chunks, usable_end, in->refused.until, &end)))
        return 0;
    for (size_t i = 0; i < n; i++)
        if (i < begin || i >= end)
            order[i].usable = 0;
    return 1;
}

// Reads a chunk's samples into the direct-read buffer.
int read_chunk(std::FILE* image, const SalvageChunk* c)
{
    uint64_t bytes = salvage_chunk_walked(c);
    grow_read_buffer(&direct_read_buffer, bytes);
    return read_salvage_chunk(image, c, direct_read_buffer.data, bytes);
}

// The samples of the first group of pictures from the key frame at sample `first` of chunk
// `ci`: up to the next key frame, a gap or a few chunks' worth.
void first_group(const RunInput* in, const SalvageChunkList* chunks, size_t ci, uint32_t first, int hevc,
                 basics::Growable<uint8_t, 65536>* bytes, basics::Growable<uint32_t, 64>* sizes)
{
    constexpr uint32_t most = 4 * camera_chunk_samples;
    for (; ci < chunks->count && sizes->count < most; ci++, first = 0) {
        const SalvageChunk* c = &chunks->items[ci];
        if ((sizes->count && c->gap_before) || !read_chunk(in->image, c))
            return;
        uint64_t pos = sum_sizes(c->sizes, first);
        for (uint32_t i = first; i < c->samples && sizes->count < most; pos += c->sizes[i++]) {
            const uint8_t* sample = direct_read_buffer.data + pos;
            if (sizes->count && codec::sample_is_key(sample, c->sizes[i], hevc))
                return;
            basics::list_append(sizes, c->sizes[i]);
            for (uint32_t b = 0; b < c->sizes[i]; b++)
                basics::list_append(bytes, sample[b]);
        }
        if (c->samples < camera_chunk_samples)
            return;
    }
}

// The stream settings: from the first key frame's parameter sets (another movie box on the card
// that carries the same ones lends its own), or, when the recording keeps them only in the movie
// box it lost, from the movie box on the card under whose configuration its first pictures decode.
int choose_settings(const RunInput* in, const SalvageChunkList* chunks, size_t ci, uint32_t first,
                    const RecordingLayout* layout, StreamSettings* out)
{
    const SalvageChunk* c = &chunks->items[ci];
    uint64_t at = sum_sizes(c->sizes, first);
    uint64_t sound_bytes = layout->between && layout->lead ? layout->between - layout->lead : 0;
    codec::ParameterSets sets;
    int found = 0;
    if (codec::find_parameter_sets(direct_read_buffer.data + at, c->sizes[first], layout->hevc, &sets)) {
        found = settings_from_sibling(in->movies, layout->hevc, &sets, out);
        if (found && !sound_format_fits(out, sound_bytes))
            free_stream_settings(out), found = 0;
        found = found || settings_from_stream(layout->hevc, &sets, sound_bytes, out);
        codec::free_parameter_sets(&sets);
    } else {
        basics::Growable<uint8_t, 65536> bytes;
        basics::Growable<uint32_t, 64> sizes;
        first_group(in, chunks, ci, first, layout->hevc, &bytes, &sizes);
        const mp4::SampleSizes group = {sizes.items, 0, sizes.count};
        found = settings_judged_by_decoder(in->movies, layout->hevc, bytes.items, &group, in->decode_check, out);
        basics::list_free(&bytes);
        basics::list_free(&sizes);
    }
    if (found && out->from_sibling) {
        // a sound entry of another format than the recording's own is not written
        if (!sound_format_fits(out, sound_bytes)) {
            std::free(out->sound_entry);
            out->sound_entry = nullptr, out->sound_entry_size = 0;
        }
        // this recording's own interleave wins over another recording's
        if (sound_bytes)
            out->sound_chunk_bytes = sound_bytes;
        if (!out->sound_entry || !out->sound_sample_size || out->sound_chunk_bytes % out->sound_sample_size)
            out->sound_chunk_bytes = 0;
    }
    return found;
}

void finish_track(SalvageTrack* t, const StreamSettings* s, int video)
{
    t->timescale = video ? s->video_timescale : s->sound_timescale;
    t->sample_delta = video ? s->video_delta : s->sound_delta;
    const uint8_t* entry = video ? s->video_entry : s->sound_entry;
    t->sample_entry_size = video ? s->video_entry_size : s->sound_entry_size;
    t->sample_entry = static_cast<uint8_t*>(basics::xmalloc(t->sample_entry_size));
    std::memcpy(t->sample_entry, entry, t->sample_entry_size);
}

// The settings from the recording's first key frame: 1; 0 when no key frame is there, -1 when
// the first one carries no parameter sets the settings can come from.
int settings_at_first_key(const RunInput* in, const SalvageChunkList* chunks, const RecordingLayout* layout,
                          StreamSettings* out)
{
    for (size_t ci = 0; ci < chunks->count; ci++) {
        const SalvageChunk* c = &chunks->items[ci];
        if (!read_chunk(in->image, c))
            continue;
        uint64_t pos = 0;
        for (uint32_t i = 0; i < c->samples; pos += c->sizes[i++])
            if (codec::sample_is_key(direct_read_buffer.data + pos, c->sizes[i], layout->hevc))
                return choose_settings(in, chunks, ci, i, layout, out) ? 1 : -1;
    }
    return 0;
}

// The parameter sets the stream settings' sample entry carries, for reading slice headers.
int entry_sets(const StreamSettings* settings, int hevc, codec::ParameterSets* out)
{
    mp4::BoxHeader config;
    const uint8_t* e = settings->video_entry;
    uint32_t size = settings->video_entry_size;
    return size > mp4::visual_entry_children_at &&
           mp4::find_child_box(e, size, mp4::visual_entry_children_at, size, hevc ? mp4::box_hvcc : mp4::box_avcc, &config) &&
           codec::sets_from_config(e + config.offset + config.header_size, uint32_t(config.size - config.header_size),
                                   hevc, out);
}

// A chunk's kept samples [a, b) as one piece, with the sound of the same span.
void keep_run(const StreamSettings* settings, const SalvageChunk* c, uint64_t chunk_frame, const OrderedSample* order,
              uint32_t a, uint32_t b, int gap, Building* out)
{
    if (gap && out->sizes.count)
        out->video_pending_gap = out->sound_pending_gap = 1;
    out->video_gaps += out->video_pending_gap;
    // pieces that each hold one cut at most: a chunk cut several times is split between its
    // samples; a sample longer than the runs around it, cut more than once, is a piece of its own
    // with every run it lies in
    const ChunkPlace place = salvage_chunk_place(c);
    for (uint32_t s = a; s < b;) {
        uint64_t skip = sum_sizes(c->sizes, s), end = skip;
        uint64_t first = place_run_end(&place, skip, UINT64_MAX), second = place_run_end(&place, first, UINT64_MAX);
        uint32_t e = s;
        for (; e < b && (e == s || end + c->sizes[e] <= second); e++)
            end += c->sizes[e];
        add_piece(out, salvage_video, &out->video_pending_gap, place_offset(&place, skip), end - skip,
                  out->sizes.count + (s - a), e - s);
        SalvagePiece* piece = &out->pieces.items[out->pieces.count - 1];
        if (first > skip && first < end) {  // the piece runs across a cut
            piece->head_length = first - skip;
            piece->tail_offset = place_offset(&place, first);
        }
        piece->later_first = out->runs.count;
        for (uint64_t x = second; piece->head_length && x < end; x = place_run_end(&place, x, UINT64_MAX)) {
            basics::list_append(&out->runs, PieceRun{x - skip, place_offset(&place, x)});
            piece->later_runs++;
        }
        s = e;
    }
    for (uint32_t i = a; i < b; i++) {
        basics::list_append(&out->sizes, c->sizes[i]);
        basics::list_append(&out->keys, order[i].key);
        basics::list_append(&out->offsets, order[i].offset);
    }
    if (settings->sound_chunk_bytes)
        keep_sound(out, settings, c, chunk_frame, a, b);
}

void keep_chunks(const RunInput* in, const SalvageChunkList* chunks, const RecordingLayout* layout,
                 const StreamSettings* settings, Building* b)
{
    size_t n = chunks->count * camera_chunk_samples;
    auto* usable_end = static_cast<uint32_t*>(basics::xcalloc(chunks->count ? chunks->count : 1, sizeof(uint32_t)));
    for (size_t ci = 0; ci < chunks->count; ci++) {
        SalvageChunk unrefused = without_refused(in, &chunks->items[ci]);
        usable_end[ci] = sounded_end(settings, &unrefused, in->image_size);
    }
    auto* order = static_cast<OrderedSample*>(basics::xcalloc(n ? n : 1, sizeof(OrderedSample)));
    auto* keep = static_cast<uint8_t*>(basics::xcalloc(n ? n : 1, 1));
    codec::ParameterSets sets = {};
    int have_sets = entry_sets(settings, layout->hevc, &sets);
    order_samples(in->image, chunks, usable_end, have_sets ? &sets : nullptr, layout->hevc, settings->video_delta, order);
    if (keep_part(in, chunks, usable_end, order, n))
        choose_presented(order, n, settings->video_delta, keep);
    auto* shift = static_cast<int64_t*>(basics::xcalloc(n ? n : 1, sizeof(int64_t)));
    presentation_shifts(order, keep, n, settings->video_delta, shift);
    for (size_t i = 0; i < n; i++)
        order[i].offset += shift[i];
    std::free(shift);
    for (size_t ci = 0, frame = 0; ci < chunks->count; ci++) {
        // the chunk's first frame in the recording: the one its kkad box's sequence number names, or
        // twelve on from the chunk before it without a gap between (UINT64_MAX: not known)
        const SalvageChunk* c = &chunks->items[ci];
        frame = c->gap_before || frame == UINT64_MAX ? UINT64_MAX : ci ? frame + camera_chunk_samples : 0;
        for (uint64_t m = 0; c->box && m < in->marker_count; m++)
            if (in->markers[m].marker_offset == c->box && in->markers[m].sequence > 0)
                frame = uint64_t(in->markers[m].sequence - 1) * camera_chunk_samples;
        const uint8_t* k = keep + ci * camera_chunk_samples;
        for (uint32_t a = 0; a < camera_chunk_samples;) {
            if (!k[a]) {
                a++;
                continue;
            }
            uint32_t end = a;
            while (end < camera_chunk_samples && k[end])
                end++;
            size_t slot = ci * camera_chunk_samples + a;
            int gap = slot == 0 || !keep[slot - 1] || order[slot].after_gap;
            keep_run(settings, c, frame, order + ci * camera_chunk_samples, a, end, gap, b);
            a = end;
        }
    }
    codec::free_parameter_sets(&sets);
    std::free(order);
    std::free(keep);
    std::free(usable_end);
}

int plan_run(const RunInput* in, SalvageAttempt* a)
{
    SalvageChunkList chunks = {};
    RecordingLayout layout;
    if (!find_recording_chunks(in->image, in->image_size, in->geometry, &in->header, in->markers, in->marker_count,
                               in->between_hint, in->clock.video_timescale ? &in->clock : nullptr, in->pcm,
                               &in->others, &chunks, &layout)) {
        basics::list_free(&chunks);
        return give_up(a, "no video chunk of the recording is on the card");
    }
    Building b = {};
    StreamSettings settings = {};
    int found = settings_at_first_key(in, &chunks, &layout, &settings);
    if (found > 0)
        keep_chunks(in, &chunks, &layout, &settings, &b);
    if (b.sizes.count == 0) {
        free_building(&b);
        free_stream_settings(&settings);
        basics::list_free(&chunks);
        return give_up(a, found < 0 ? "the first key frame carries no parameter sets"
                                    : "no intact key frame of the recording is on the card");
    }
    SalvagePlan* p = &a->plan;
    const RecordingRun* run = in->run;
    p->clip_number = a->clip_number;
    p->time = recording_time_of(run);
    p->creation_time = in->creation_time;
    p->video_gaps = b.video_gaps;
    uint64_t recording_chunks = chunks.count + layout.missing_chunks;
    SalvageTrack* v = &p->tracks[salvage_video];
    v->present = 1;
    finish_track(v, &settings, 1);
    v->kept_samples = b.sizes.count;
    v->recording_samples = recording_chunks * camera_chunk_samples;
    v->sample_sizes = b.sizes.items;
    v->key_frames = b.keys.items;
    // composition offsets only for a stream shown in another order than it is decoded, all
    // shifted by the same amount so that none is below zero
    int64_t lowest = 0, highest = 0;
    for (size_t i = 0; i < b.offsets.count; i++)
        lowest = std::min(lowest, b.offsets.items[i]), highest = std::max(highest, b.offsets.items[i]);
    if (lowest != highest || lowest != 0) {
        // the presentation starts at the first picture shown, as the camera's edit list starts
        // its own: the sound of the first frame kept begins the file, and the picture with it
        int64_t first_shown = INT64_MAX;
        for (size_t i = 0; i < b.offsets.count; i++) {
            b.offsets.items[i] -= lowest;
            first_shown = std::min(first_shown, int64_t(i) * v->sample_delta + b.offsets.items[i]);
        }
        v->composition_offsets = b.offsets.items;
        v->has_edit = 1;
        v->edit_media_time = first_shown;
        b.offsets.items = nullptr;
    }
    basics::list_free(&b.offsets);
    if (b.sound_kept) {
        SalvageTrack* s = &p->tracks[salvage_sound];
        uint64_t per_chunk = settings.sound_chunk_bytes / settings.sound_sample_size;
        s->present = 1;
        finish_track(s, &settings, 0);
        s->fixed_sample_size = settings.sound_sample_size;
        s->kept_samples = b.sound_kept;
        s->recording_samples = recording_chunks * per_chunk;
        // at a 1001 rate a chunk's sound is a sample more or less than the usual: sound short of the
        // kept frames' span by no more than a sample a chunk is all of it
        uint64_t span = b.sizes.count * per_chunk / camera_chunk_samples;
        uint64_t chunks_kept = (b.sizes.count + camera_chunk_samples - 1) / camera_chunk_samples;
        s->span_samples = b.sound_kept < span && span - b.sound_kept <= chunks_kept ? b.sound_kept : span;
    }
    p->pieces = b.pieces.items;
    p->piece_count = b.pieces.count;
    p->later_runs = b.runs.items;
    p->later_run_count = b.runs.count;
    a->planned = 1;
    free_stream_settings(&settings);
    basics::list_free(&chunks);
    return 1;
}

}  // namespace

size_t build_plans_without_movie(const SalvageCard* card, SalvageAttemptList* out)
{
    size_t first = out->count;
    MarkerList own = {};
    int shift = card_time_shift(card);
    for (size_t r = 0; r < card->runs->count; r++) {
        RunInput in;
        SalvageAttempt a = {};
        if (!run_input(card, shift, r, &own, &in, &a.clip_number))
            continue;
        plan_run(&in, &a);
        basics::list_append(out, a);
    }
    basics::list_free(&own);
    std::stable_sort(out->items + first, out->items + out->count,
                     [](const SalvageAttempt& x, const SalvageAttempt& y) { return x.clip_number < y.clip_number; });
    return out->count - first;
}

void claim_located_without_movie(const SalvageCard* card, ClaimList* out)
{
    MarkerList own = {};
    int shift = card_time_shift(card);
    for (size_t r = 0; r < card->runs->count; r++) {
        RunInput in;
        uint32_t clip;
        SalvageChunkList chunks = {};
        RecordingLayout layout;
        if (!run_input(card, shift, r, &own, &in, &clip))
            continue;
        // the recording's pieces carry its kkad boxes' tag: the others count its boxes and its
        // chunks as one recording's
        uint32_t tag = in.others.tag;
        in.others.gaps = &out->gaps;
        in.others.open = &out->open;
        basics::Growable<ClaimedSpan, 16> heads{};
        in.others.heads = &heads;
        if (find_recording_chunks(in.image, in.image_size, in.geometry, &in.header, in.markers, in.marker_count,
                                  in.between_hint, in.clock.video_timescale ? &in.clock : nullptr, in.pcm,
                                  &in.others, &chunks, &layout))
            for (size_t i = 0; i < chunks.count; i++) {
                const SalvageChunk* c = &chunks.items[i];
                // a chunk not walked to its end holds the rest where the layout puts it only when what
                // follows it stands at the camera's distance (its sound placed); else a boundary may
                // cut it anywhere past its last whole sample
                uint64_t walked = salvage_chunk_walked(c), head;
                uint64_t bytes = c->full_bytes && (walked >= c->full_bytes || c->sound_follows) ? c->full_bytes : walked;
                if (c->open_tail > bytes)  // placed up to the open tail of its last sample
                    bytes = c->open_tail;
                bytes = chunk_bytes_shown(in.image, in.image_size, in.geometry, c, bytes);
                const ChunkPlace place = salvage_chunk_place(c);
                for (uint64_t from = 0; from < bytes; from += head) {  // each run of the chunk
                    head = place_run_end(&place, from, bytes) - from;
                    uint64_t at = place_offset(&place, from), file = c->file_known ? c->file_offset + from : UINT64_MAX;
                    basics::list_append(&out->spans, ClaimedSpan{at, at + head, clip, tag, 0, file});
                }
                // the samples behind its known runs, by their heads, where the others' pieces are known
                if (card->claims && i + 1 < chunks.count)
                    claim_sample_heads(in.image, in.image_size, in.geometry, card->claims, clip, tag, c, bytes,
                                       chunks.items[i + 1].image_offset, layout.hevc, &out->spans);
                uint64_t usual = layout.lead && layout.between > layout.lead ? layout.between - layout.lead : 0;
                uint64_t sound = usual && c->sound_bytes ? c->sound_bytes : usual;
                if (!c->sound_follows || !sound)
                    continue;
                int whole = c->file_known && c->full_bytes && !c->sound.cut;
                for (uint64_t from = 0; from < sound; from += head) {  // each run of the sound
                    head = place_run_end(&c->sound, from, sound) - from;
                    uint64_t at = place_offset(&c->sound, from);
                    ClaimedSpan s{at, at + head, clip, tag, 0, whole ? c->file_offset + c->full_bytes : UINT64_MAX};
                    s.by_room = c->sound_follows == placed_by_room;
                    s.sound_of = c->file_known && c->full_bytes ? c->file_offset + c->full_bytes : UINT64_MAX;
                    basics::list_append(&out->spans, s);
                }
            }
        // the heads of its samples the claims show in one cluster each, for the others to count by
        for (uint64_t i = 0; i < heads.count; i++) {
            int seen = 0;
            for (uint64_t j = 0; j < i && !seen; j++)
                seen = heads.items[j].begin == heads.items[i].begin && heads.items[j].end == heads.items[i].end;
            if (!seen)
                basics::list_append(&out->spans, heads.items[i]);
        }
        basics::list_free(&heads);
        basics::list_free(&chunks);
    }
    basics::list_free(&own);
}

int replan_without_movie(const SalvageCard* card, uint32_t clip_number, const RefusedSamples* refused,
                         SalvageAttempt* out)
{
    MarkerList own = {};
    int found = 0;
    int shift = card_time_shift(card);
    for (size_t r = 0; r < card->runs->count && !found; r++) {
        RunInput in;
        SalvageAttempt a = {};
        if (!run_input(card, shift, r, &own, &in, &a.clip_number) || a.clip_number != clip_number)
            continue;
        in.refused = *refused;
        plan_run(&in, &a);
        *out = a;
        found = 1;
    }
    basics::list_free(&own);
    return found;
}

void free_salvage_attempts(SalvageAttemptList* list)
{
    for (size_t i = 0; i < list->count; i++)
        free_salvage_plan(&list->items[i].plan);
    basics::list_free(list);
}

}  // namespace salvage
