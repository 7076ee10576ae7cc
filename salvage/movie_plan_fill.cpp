#include "salvage/movie_plan_fill.h"

#include <algorithm>
#include <cstdlib>

#include "basics/growable.h"
#include "mp4/track_boxes.h"
#include "salvage/presentation.h"

namespace salvage {

int describe_track(const mp4::MovieInfo* m, const mp4::TrackTables* t, const char* handler, SalvageTrack* out)
{
    out->timescale = t->timescale;
    out->recording_samples = t->sample_count;
    if (!mp4::constant_sample_delta(m->moov_bytes, m->moov_size, handler, &out->sample_delta) ||
        !mp4::copy_sample_entry(m->moov_bytes, m->moov_size, handler, &out->sample_entry, &out->sample_entry_size))
        return 0;
    out->present = 1;
    return 1;
}

namespace {

// The kept samples of a track, piece by piece, in the order the writer lays them out.
struct Kept {
    basics::Growable<uint32_t, 1024> sizes[salvage_track_kinds];  // of a track without one fixed size
    basics::Growable<uint8_t, 1024> keys;
    basics::Growable<int64_t, 1024> offsets;
    basics::Growable<SalvagePiece, 64> pieces;
    basics::Growable<PieceRun, 64> runs;  // of pieces whose one sample is cut more than once
    uint64_t samples[salvage_track_kinds];
};

// Samples [a, b) of chunk k as pieces that each hold one cut at most: a chunk cut several times
// is split between its samples. A sample longer than the runs around it, cut more than once, is a
// piece of its own with every run it lies in.
void add_piece(const MoviePlanner* p, Kept* out, uint32_t track, uint64_t k, uint64_t a, uint64_t b, int gap)
{
    const mp4::TrackTables* t = track == salvage_sound ? &p->movie->audio : p->video;
    ChunkPlace place = track == salvage_sound ? p->sound_at[k] : video_place(p, k);
    for (uint64_t i = a; i < b && !t->fixed_sample_size; i++)
        basics::list_append(&out->sizes[track], t->sample_sizes[t->chunk_first_sample[k] + i]);
    while (a < b) {
        uint64_t skip = leading_bytes(t, k, a), end = skip, e = a;
        // the first cut behind the piece's start, and the one behind that: the piece ends in front
        // of the sample that holds the second
        uint64_t first = place_run_end(&place, skip, UINT64_MAX), second = place_run_end(&place, first, UINT64_MAX);
        while (e < b) {
            uint64_t next = end + (t->fixed_sample_size ? t->fixed_sample_size : t->sample_sizes[t->chunk_first_sample[k] + e]);
            if (e > a && next > second)
                break;
            end = next, e++;
        }
        SalvagePiece piece = {track, uint32_t(gap), place_offset(&place, skip), end - skip, out->samples[track], e - a,
                              0, 0};
        if (first > skip && first < end)
            piece.head_length = first - skip, piece.tail_offset = place_offset(&place, first);
        piece.chunk = k;
        piece.later_first = out->runs.count;
        for (uint64_t x = second; piece.head_length && x < end; x = place_run_end(&place, x, UINT64_MAX)) {
            basics::list_append(&out->runs, PieceRun{x - skip, place_offset(&place, x)});
            piece.later_runs++;
        }
        basics::list_append(&out->pieces, piece);
        out->samples[track] += e - a;
        a = e, gap = 0;
    }
}

// Where a chunk whose first frame is `first` lies in time, where both tracks keep one sample duration.
ChunkTime chunk_time(const MoviePlanner* p, uint64_t first)
{
    const mp4::TrackTables *v = p->video, *a = &p->movie->audio;
    if (!v->sample_count || v->duration % v->sample_count || a->duration != a->sample_count)
        return ChunkTime{};
    return ChunkTime{first, v->timescale, v->duration / v->sample_count, a->timescale};
}

// Every run of kept samples in a chunk is one video piece, followed by the sound of the same span.
void lay_kept(const MoviePlanner* p, int with_sound, mp4::CompositionOffsets* offsets, int reordered, Kept* out,
              uint64_t* gaps)
{
    const mp4::TrackTables* v = p->video;
    for (uint64_t k = 0; k < p->chunks; k++) {
        uint64_t first = v->chunk_first_sample[k], count = v->chunk_sample_counts[k];
        for (uint64_t a = 0; a < count;) {
            if (!p->keep[first + a]) {
                a++;
                continue;
            }
            uint64_t b = a;
            while (b < count && p->keep[first + b])
                b++;
            int gap = first + a > 0 && !p->keep[first + a - 1];
            *gaps += gap && out->samples[salvage_video] > 0;
            add_piece(p, out, salvage_video, k, a, b, gap);
            for (uint64_t i = a; i < b; i++) {
                basics::list_append(&out->keys, p->key[first + i]);
                if (reordered)
                    basics::list_append(&out->offsets, mp4::composition_offset_at(offsets, first + i) + p->shift[first + i]);
            }
            uint64_t skip, n;
            const ChunkTime time = chunk_time(p, first);
            if (with_sound && (sound_share(p->movie->audio.chunk_sample_counts[k], count, a, b, &time, &skip, &n), n > 0))
                add_piece(p, out, salvage_sound, k, skip, skip + n, gap);
            a = b;
        }
    }
}

}  // namespace

void fill_plan(const MoviePlanner* p, int with_sound, SalvagePlan* plan)
{
    const mp4::MovieInfo* m = p->movie;
    mp4::CompositionOffsets offsets;
    int reordered = mp4::find_composition_offsets(m->moov_bytes, m->moov_size, "vide", &offsets);
    Kept kept = {};
    lay_kept(p, with_sound, &offsets, reordered, &kept, &plan->video_gaps);
    const mp4::TrackTables* tables[salvage_track_kinds] = {p->video, &m->audio};
    for (uint32_t track = 0; track < salvage_track_kinds; track++) {
        SalvageTrack* t = &plan->tracks[track];
        t->fixed_sample_size = tables[track]->fixed_sample_size;
        t->kept_samples = kept.samples[track];
        t->sample_sizes = t->fixed_sample_size ? nullptr : kept.sizes[track].items;
        if (t->fixed_sample_size || (track == salvage_sound && !with_sound))
            basics::list_free(&kept.sizes[track]), t->sample_sizes = nullptr;
    }
    SalvageTrack* v = &plan->tracks[salvage_video];
    v->key_frames = kept.keys.items;
    v->composition_offsets = reordered ? kept.offsets.items : nullptr;
    if (reordered) {
        v->has_edit = mp4::first_edit_media_time(m->moov_bytes, m->moov_size, "vide", &v->edit_media_time);
        // the presentation starts at the first kept picture shown, as the camera's starts at its
        // first: a salvage that begins deeper in the stream would hide the pictures before that time
        int64_t first_shown = INT64_MAX;
        for (size_t k = 0; k < kept.offsets.count; k++)
            first_shown = std::min(first_shown, int64_t(k) * v->sample_delta + kept.offsets.items[k]);
        if (v->has_edit && first_shown != INT64_MAX)
            v->edit_media_time = first_shown;
    } else {
        basics::list_free(&kept.offsets);
    }
    plan->tracks[salvage_sound].span_samples = kept.samples[salvage_sound];
    plan->pieces = kept.pieces.items;
    plan->piece_count = kept.pieces.count;
    plan->later_runs = kept.runs.items;
    plan->later_run_count = kept.runs.count;
}

}  // namespace salvage
