#include "salvage/run_input.h"

#include <algorithm>

#include "analysis/recording_runs.h"
#include "salvage/cut_headers.h"
#include "mp4/box.h"

namespace salvage {

using namespace analysis;

namespace {

// The index of the marker at `offset` (the list is ascending).
size_t marker_at(const MarkerList* markers, uint64_t offset)
{
    const KkadMarker* m = markers->items;
    return size_t(std::lower_bound(m, m + markers->count, offset, [](const KkadMarker& k, uint64_t o) {
                      return k.marker_offset < o;
                  }) - m);
}

// The kkad boxes of one recording carry its tag and time; a recording the card holds in pieces
// has them in several places, not all behind its first one. Without a time only the run's own
// boxes are sure to be the recording's.
void recording_markers(const MarkerList* markers, size_t first, uint64_t run_count, MarkerList* out)
{
    out->count = 0;
    const KkadMarker* start = &markers->items[first];
    for (size_t i = 0; i < markers->count; i++) {
        const KkadMarker* k = &markers->items[i];
        int own = start->has_time ? k->tag == start->tag && k->has_time && k->time_unix == start->time_unix
                                  : i >= first && i - first < run_count;
        if (own)
            basics::list_append(out, *k);
    }
}

// A run paired with a movie box that holds no clip (one a fragment boundary cut) is found by
// content like one without.
int run_is_paired(const PairList* pairs, const MovieList* movies, size_t run, uint32_t header_index)
{
    for (size_t i = 0; i < pairs->count; i++)
        if ((pairs->items[i].run == run || pairs->items[i].header_index == header_index) &&
            analysis::movie_makes_clip(&movies->items[pairs->items[i].movie]))
            return 1;
    return 0;
}

// The camera's sound and metadata between two chunks, as the first movie box with both shows.
uint64_t between_from_movies(const MovieList* movies)
{
    for (size_t i = 0; i < movies->count; i++) {
        const mp4::MovieInfo* m = &movies->items[i];
        if (m->has_audio && m->has_other && m->audio.chunk_count && m->other.chunk_count)
            return m->audio.chunk_sizes[0] + m->other.chunk_sizes[0];
    }
    return 0;
}

}  // namespace

int run_input(const SalvageCard* card, int shift, size_t r, MarkerList* own, RunInput* in, uint32_t* clip_number)
{
    const RecordingRun* run = &card->runs->items[r];
    ClipHeader cut;
    uint32_t number;
    const ClipHeader* header = run_header(card, r, &cut, &number);
    size_t m = marker_at(card->markers, run->start_offset);
    if (!header || run_is_paired(card->pairs, card->movies, r, number) || m >= card->markers->count)
        return 0;
    recording_markers(card->markers, m, run->marker_count, own);
    *in = RunInput{card->image, card->image_size, card->geometry, *header, run, card->decode_check, own->items, own->count, card->movies,
                   between_from_movies(card->movies), clock_from_movies(card->movies), card_sound_format(card->movies),
                   0, {nullptr, 0, 0, 0},
                   {card->claims, number, run->tag}};
    if (run->has_time)
        in->creation_time = run->time_unix + uint64_t(int64_t(shift) * 3600) + mp4::mp4_epoch_to_unix;
    *clip_number = number;
    return 1;
}

}  // namespace salvage
