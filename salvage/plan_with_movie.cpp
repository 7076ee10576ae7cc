// A clip with its movie box but holes in its video: its chunks are located, found again where the
// documented rules did not find them (missing_chunk), and a sound chunk is taken only where the
// pieces on both sides of it keep their distance from the camera's file, which puts the bytes
// between them where the camera wrote them.
#include "salvage/plan_with_movie.h"

#include <algorithm>
#include <cstdlib>

#include "analysis/chunk_locate.h"
#include "analysis/recording_runs.h"
#include "basics/checked_alloc.h"
#include "basics/growable.h"
#include "codec/parameter_sets.h"
#include "mp4/box.h"
#include "mp4/track_boxes.h"
#include "rebuild/output_moov.h"
#include "salvage/chunk_place.h"
#include "salvage/join_anchors.h"
#include "salvage/missing_chunk.h"
#include "salvage/movie_plan_fill.h"
#include "salvage/movie_planner.h"
#include "salvage/movie_sound.h"
#include "salvage/presentation.h"

namespace salvage {

using namespace analysis;

namespace {

// The media data's end as an offset in the camera's file, from its box header: the header of a
// recording that goes on past the image's end is listed with its media data cut there.
uint64_t media_end_in_file(std::FILE* image, const ClipHeader* h)
{
    mp4::BoxHeader mdat;
    uint64_t end = h->mdat_end;
    if (mp4::read_box_header_file(image, h->mdat_offset, UINT64_MAX / 2, &mdat) && mdat.offset == h->mdat_offset)
        end = mdat.offset + mdat.size;
    return end >= h->header_offset ? end - h->header_offset : UINT64_MAX;
}

// The key frames of a chunk on the card, from its samples' own NAL units: the camera's movie box
// need not say which they are.
void read_key_frames(MoviePlanner* p, uint64_t k)
{
    mp4::SampleSizes sizes;
    if (p->on_card[k] == 0 || !chunk_samples(p->video, k, &sizes))
        return;
    uint64_t size = 0;
    for (uint64_t i = 0; i < p->on_card[k]; i++)
        size += mp4::sample_size_at(&sizes, i);
    if (size > max_sample_bytes)
        return;
    grow_read_buffer(&direct_read_buffer, size);
    const uint8_t* bytes = direct_read_buffer.data;
    ChunkPlace place = video_place(p, k);
    if (!read_placed(p->image, &place, 0, direct_read_buffer.data, size))
        return;
    uint64_t first = p->video->chunk_first_sample[k], at = 0;
    for (uint64_t i = 0; i < p->on_card[k]; i++) {
        uint64_t n = mp4::sample_size_at(&sizes, i);
        p->key[first + i] = uint8_t(codec::sample_is_key(bytes + at, n, mp4::format_is_hevc(p->video->format)));
        at += n;
    }
}

// The leading samples of chunk k before the first one the decode check refused.
uint64_t unrefused_prefix(const MoviePlanner* p, uint64_t k, uint64_t n, const RefusedSamples* refused)
{
    ChunkPlace place = video_place(p, k);
    for (uint64_t i = 0; i < n; i++)
        if (is_refused(refused, place_offset(&place, leading_bytes(p->video, k, i))))
            return i;
    return n;
}

// The recording's index of its sample on the card at image offset `offset`; 0 when none is there.
int sample_at(const MoviePlanner* p, uint64_t offset, uint64_t* sample)
{
    const mp4::TrackTables* v = p->video;
    for (uint64_t k = 0; k < p->chunks; k++)
        for (uint64_t i = 0, at = 0; i < p->on_card[k]; i++) {
            uint64_t s = v->chunk_first_sample[k] + i;
            ChunkPlace place = video_place(p, k);
            if (place_offset(&place, at) == offset) {
                *sample = s;
                return 1;
            }
            at += v->fixed_sample_size ? v->fixed_sample_size : v->sample_sizes[s];
        }
    return 0;
}

// The samples that are kept: of each chunk its leading samples on the card, with
// their sound placed when the clip keeps sound (picture without its sound would put everything
// after it out of step), as decoding and the camera's presentation order allow.
int choose_video(MoviePlanner* p, int with_sound, uint32_t frame_ticks)
{
    const mp4::MovieInfo* m = p->movie;
    mp4::CompositionOffsets offsets;
    int reordered = mp4::find_composition_offsets(m->moov_bytes, m->moov_size, "vide", &offsets);
    auto* samples = static_cast<OrderedSample*>(basics::xcalloc(p->video->sample_count, sizeof(OrderedSample)));
    for (uint64_t k = 0; k < p->chunks; k++) {
        uint64_t first = p->video->chunk_first_sample[k], count = p->video->chunk_sample_counts[k];
        uint64_t end = p->on_card[k];
        if (with_sound && !p->sound_placed[k])
            end = 0;
        uint64_t sound = k < m->audio.chunk_count ? m->audio.chunk_sizes[k] : 0;
        if (with_sound && p->sound_placed[k] && sound && p->sound_bytes[k] < sound)
            end = std::min<uint64_t>(end, p->sound_bytes[k] * count / sound);
        for (uint64_t i = 0; i < count && first + i < p->video->sample_count; i++) {
            uint64_t s = first + i;
            uint8_t usable = i < end && s >= p->part_begin && s < p->part_end;
            samples[s] = {usable, p->key[s], 0, reordered ? mp4::composition_offset_at(&offsets, s) : 0, 0};
        }
    }
    int any = choose_presented(samples, p->video->sample_count, frame_ticks, p->keep);
    presentation_shifts(samples, p->keep, p->video->sample_count, frame_ticks, p->shift);
    std::free(samples);
    return any;
}

void free_planner(MoviePlanner* p)
{
    std::free(p->found);
    std::free(p->found_at);
    std::free(p->on_card);
    std::free(p->end_seen);
    std::free(p->keep);
    std::free(p->shift);
    std::free(p->key);
    std::free(p->sound_at);
    std::free(p->sound_placed);
    std::free(p->sound_bytes);
    std::free(p->trail_at);
    std::free(p->trail_bytes);
    std::free(p->cut);
    std::free(p->counted);
    std::free(p->open_tail);
    basics::list_free(&p->kkad);
    basics::list_free(&p->sure);
    basics::list_free(&p->gaps);
    basics::list_free(&p->open);
}

// Plans the clip; with `located`, only finds its pieces and adds where they lie.
int plan_clip(const SalvageCard* card, const RecoveryClip* clip, const RefusedSamples* refused, SalvageAttempt* out,
              ClaimList* located)
{
    *out = SalvageAttempt{};
    out->clip_number = clip->clip_number;
    // a refused sample leaves less to keep than the first plan kept
    const char* nothing = refused->count ? "no video chunk left that decodes" : "no video chunk found on the card";
    const mp4::MovieInfo* m = clip->movie;
    if (!m)
        return give_up(out, nothing);
    const mp4::TrackTables* v = &m->video;
    if (v->chunk_count == 0 || v->sample_count == 0 || v->sample_count > mp4::max_samples)
        return give_up(out, nothing);
    std::FILE* image = card->image;
    uint64_t image_size = card->image_size;
    MoviePlanner p{};
    p.image = image;
    p.image_size = image_size;
    p.geometry = card->geometry;
    p.clip = clip;
    p.media_end = media_end_in_file(image, clip->header);
    p.markers = card->markers;
    p.claims = card->claims;
    p.refused = refused;
    p.decode_check = card->decode_check;
    p.movie = m;
    p.video = v;
    p.chunks = v->chunk_count;
    p.found = static_cast<uint8_t*>(basics::xcalloc(p.chunks, 1));
    p.found_at = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.on_card = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.end_seen = static_cast<uint8_t*>(basics::xcalloc(p.chunks, 1));
    p.keep = static_cast<uint8_t*>(basics::xcalloc(v->sample_count, 1));
    p.shift = static_cast<int64_t*>(basics::xcalloc(v->sample_count, sizeof(int64_t)));
    p.sound_at = static_cast<ChunkPlace*>(basics::xcalloc(p.chunks, sizeof(ChunkPlace)));
    p.cut = static_cast<ChunkPlace*>(basics::xcalloc(p.chunks, sizeof(ChunkPlace)));
    p.counted = static_cast<uint8_t*>(basics::xcalloc(p.chunks, 1));
    p.open_tail = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.sound_placed = static_cast<uint8_t*>(basics::xcalloc(p.chunks, 1));
    p.sound_bytes = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.trail_at = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.trail_bytes = static_cast<uint64_t*>(basics::xcalloc(p.chunks, sizeof(uint64_t)));
    p.key = static_cast<uint8_t*>(basics::xcalloc(v->sample_count, 1));
    SalvagePlan* plan = &out->plan;
    int ok = describe_track(m, v, "vide", &plan->tracks[salvage_video]);
    for (uint64_t k = 0; ok && k < p.chunks && k < clip->chunk_count; k++) {
        uint64_t at = 0;
        if (locate_chunk(image, image_size, m, clip->chunks, k, &at)) {
            p.found[k] = 1;
            p.found_at[k] = at;
        }
    }
    if (ok && clip->run)
        place_kkad_boxes(m, card->markers, clip->run->tag, p.found, p.found_at, clip->header->header_offset, &p.kkad);
    for (uint64_t k = 0; ok && k < p.chunks; k++) {
        if (!p.found[k])
            find_missing_chunk(&p, k);
        if (p.found[k])
            recheck_found_chunk(&p, k);
        if (p.found[k]) {
            p.on_card[k] = v->chunk_sample_counts[k];
            p.end_seen[k] = 1;
        }
        // the pieces alone need no key frames: their samples are not read again
        if (!located)
            read_key_frames(&p, k);
    }
    // a refused sample ends its chunk: the bytes from there on are not the camera's for certain,
    // so neither is the chunk's end, nor the sound behind it
    for (uint64_t k = 0; ok && k < p.chunks; k++) {
        uint64_t end = unrefused_prefix(&p, k, p.on_card[k], refused);
        if (end < p.on_card[k])
            p.on_card[k] = end, p.end_seen[k] = 0;
    }
    p.part_end = v->sample_count;
    if (ok && refused->from)
        ok = sample_at(&p, refused->from, &p.part_begin);
    if (ok && refused->until)
        ok = sample_at(&p, refused->until, &p.part_end);
    // the camera writes one sound chunk beside every video chunk
    int with_sound = ok && rebuild::sound_track_written(m) && m->audio.chunk_count == p.chunks &&
                     describe_track(m, &m->audio, "soun", &plan->tracks[salvage_sound]);
    if (located) {
        // the pieces as far as the card shows them, the sound placed where the layout proves it
        if (with_sound)
            place_sound(&p);
        claim_pieces(&p, located);
        ok = 0;
    }
    if (ok && with_sound && !place_sound(&p)) {
        // no sound chunk is where the layout puts it: the picture alone, which has no step to lose
        free_salvage_track(&plan->tracks[salvage_sound]);
        with_sound = 0;
    }
    if (ok)
        settle_by_next_chunk(&p, with_sound);
    ok = ok && choose_video(&p, with_sound, plan->tracks[salvage_video].sample_delta);
    if (ok) {
        plan->clip_number = clip->clip_number;
        plan->time = recording_time_of(clip->run);
        plan->creation_time = m->has_creation_time ? m->creation_time : 0;
        fill_plan(&p, with_sound, plan);
    }
    free_planner(&p);
    if (!ok) {
        free_salvage_plan(plan);
        return give_up(out, nothing);
    }
    out->planned = 1;
    return 1;
}

}  // namespace

int plan_with_movie(const SalvageCard* card, const RecoveryClip* clip, const RefusedSamples* refused,
                    SalvageAttempt* out)
{
    return plan_clip(card, clip, refused, out, nullptr);
}

void claim_located_pieces(const SalvageCard* card, const RecoveryClip* clip, ClaimList* out)
{
    RefusedSamples none{};
    SalvageAttempt attempt;
    plan_clip(card, clip, &none, &attempt, out);
    free_salvage_plan(&attempt.plan);
}

}  // namespace salvage
