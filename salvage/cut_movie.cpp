#include "salvage/cut_movie.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/recording_runs.h"
#include "basics/checked_alloc.h"
#include "image/read_at.h"
#include "mp4/box.h"
#include "rebuild/output_moov.h"

namespace salvage {

namespace {

// Edges inside one box that are tried as the place of its cut: the camera's boxes span a few
// clusters at most.
constexpr uint64_t cut_edges_max = 8;

int overlaps_taken(const TakenBytes* taken, uint64_t begin, uint64_t end)
{
    for (size_t i = 0; taken && i < taken->count; i++)
        if (taken->begin[i] < end && begin < taken->end[i])
            return 1;
    return 0;
}

// The box of `size` bytes from its first `head` bytes (`first`) and its rest at `rest_at`, when
// it proves the join; 1 and `out` filled.
int joined_box(std::FILE* image, const uint8_t* first, uint64_t head, uint64_t size, uint64_t at, uint64_t rest_at,
               uint64_t mdat_begin, uint64_t mdat_end, mp4::MovieInfo* out)
{
    auto* copy = static_cast<uint8_t*>(basics::xmalloc(size));
    std::memcpy(copy, first, head);
    if (!image::read_at(image, rest_at, copy + head, size - head)) {
        std::free(copy);
        return 0;
    }
    mp4::MovieInfo m;
    if (!mp4::parse_movie_copy(copy, size, at, &m))
        return 0;
    uint64_t last = 0;
    // a box header reaches past the cut: the rest is the box's, not a table's bytes that happen to fit
    if (!analysis::movie_makes_clip(&m) || !rebuild::movie_box_whole(&m, mdat_begin, mdat_end, &last) ||
        last + 8 <= head) {
        mp4::free_movie_info(&m);
        return 0;
    }
    m.moov_head = head;
    m.moov_tail = rest_at;
    *out = m;
    return 1;
}

}  // namespace

int join_cut_movie(std::FILE* image, uint64_t image_size, const image::ImageGeometry* g, uint64_t at,
                   uint64_t mdat_begin, uint64_t mdat_end, const TakenBytes* taken, mp4::MovieInfo* out)
{
    mp4::BoxHeader box;
    uint64_t cluster = g->cluster_bytes;
    if (cluster == 0 || at < g->heap_offset || !mp4::read_box_header_file(image, at, image_size, &box) ||
        !mp4::type_is(box.type, mp4::box_moov) || box.size < 16 || box.size > mp4::max_movie_box_bytes ||
        box.size > image_size - at)
        return 0;
    uint64_t first_edge = g->heap_offset + ((at - g->heap_offset) / cluster + 1) * cluster;
    uint64_t edge_end = std::min(at + box.size, first_edge + cut_edges_max * cluster);
    auto* first = static_cast<uint8_t*>(basics::xmalloc(box.size));
    int found = 0;
    mp4::MovieInfo fit = {};
    for (uint64_t edge = first_edge; edge < edge_end && found < 2; edge += cluster) {
        uint64_t head = edge - at;
        if (!image::read_at(image, at, first, head))
            break;
        for (uint64_t n = 1; n <= cut_movie_window && found < 2; n++) {
            uint64_t rest_at = edge + n * cluster, rest = box.size - head;
            if (rest_at > image_size || rest > image_size - rest_at)
                break;
            mp4::MovieInfo m;
            if (overlaps_taken(taken, rest_at, rest_at + rest) ||
                !joined_box(image, first, head, box.size, at, rest_at, mdat_begin, mdat_end, &m))
                continue;
            if (found++)
                mp4::free_movie_info(&m);
            else
                fit = m;
        }
    }
    std::free(first);
    if (found != 1) {
        // two that fit: neither is proven
        if (found)
            mp4::free_movie_info(&fit);
        return 0;
    }
    *out = fit;
    return 1;
}

namespace {

void add_taken(basics::Growable<uint64_t, 256>* begins, basics::Growable<uint64_t, 256>* ends, uint64_t b, uint64_t e)
{
    basics::list_append(begins, b);
    basics::list_append(ends, e);
}

int has_clip(const analysis::ClipList* clips, uint32_t number)
{
    for (size_t i = 0; clips && i < clips->count; i++)
        if (clips->items[i].clip_number == number)
            return 1;
    return 0;
}


// The seconds the card's movie boxes are shifted from their recordings' clip headers, as its pairs
// show; 1 when a pair shows it.
int pairs_shift(const SalvageCard* card, int64_t* shift)
{
    for (size_t p = 0; p < card->pairs->count; p++) {
        const analysis::MoviePair* pair = &card->pairs->items[p];
        const mp4::MovieInfo* m = &card->movies->items[pair->movie];
        const analysis::RecordingRun* run = &card->runs->items[pair->run];
        if (m->has_creation_time && run->has_time) {
            *shift = int64_t(m->creation_unix - run->time_unix);
            return 1;
        }
    }
    return 0;
}

// 1 when the movie box was made when the run began: at the card's shift, or at a whole number of
// hours from it when no pair shows the shift.
int made_at_run(const mp4::MovieInfo* m, const analysis::RecordingRun* run, int known, int64_t shift)
{
    if (!m->has_creation_time || !run->has_time)
        return 0;
    auto off = int64_t(m->creation_unix - run->time_unix);
    return known ? off == shift : off % 3600 == 0 && off >= -14 * 3600 && off <= 14 * 3600;
}

int is_movie_at(const analysis::MovieList* movies, uint64_t at)
{
    for (size_t m = 0; m < movies->count; m++)
        if (movies->items[m].moov_offset == at)
            return 1;
    return 0;
}

// The media data of a clip header's file, from its first byte: 0 when the header gives none.
int media_of(const analysis::ClipHeader* h, uint64_t* begin, uint64_t* end)
{
    if (h->mdat_offset < h->header_offset)
        return 0;
    *begin = h->mdat_offset - h->header_offset + 8;
    *end = *begin - 8 + h->mdat_size;
    return 1;
}

// When the movie box at `at` says its recording began, read from its bytes up to the first cluster
// edge (its own for certain): 1 and out's creation fields filled, 0 where its movie header does not
// lie whole in them.
int head_made(const SalvageCard* card, uint64_t at, mp4::MovieInfo* out)
{
    const image::ImageGeometry* g = card->geometry;
    mp4::BoxHeader box;
    if (!g || g->cluster_bytes == 0 || at < g->heap_offset ||
        !mp4::read_box_header_file(card->image, at, card->image_size, &box) || box.size > mp4::max_movie_box_bytes)
        return 0;
    uint64_t edge = g->heap_offset + ((at - g->heap_offset) / g->cluster_bytes + 1) * g->cluster_bytes;
    uint8_t head[4096];
    uint64_t n = std::min<uint64_t>({box.size, edge - at, sizeof head});
    return image::read_at(card->image, at, head, n) && mp4::movie_head_creation_time(head, n, out);
}

struct JoinedBox {
    size_t movie;   // index into the movies
    uint32_t header_index;
    size_t run;
};

}  // namespace

void find_cut_movie_clips(const SalvageCard* card, const analysis::ClipList* clips, CutMovieClips* out)
{
    *out = {};
    const analysis::MovieList* movies = card->movies;
    for (size_t i = 0; i < movies->count; i++) {
        basics::list_append(&out->movies, movies->items[i]);
        basics::list_append(&out->own, uint8_t(0));
    }
    // the pieces of other files a rest may not lie over: clip headers, kkad boxes, movie boxes
    basics::Growable<uint64_t, 256> begins, ends;
    for (size_t i = 0; i < card->headers->count; i++)
        add_taken(&begins, &ends, card->headers->items[i].header_offset, card->headers->items[i].mdat_offset + 16);
    for (size_t i = 0; card->markers && i < card->markers->count; i++)
        if (card->markers->items[i].valid && card->markers->items[i].marker_offset >= 4)
            add_taken(&begins, &ends, card->markers->items[i].marker_offset - 4, card->markers->items[i].marker_offset + 4);
    for (size_t i = 0; i < movies->count; i++)
        add_taken(&begins, &ends, movies->items[i].moov_offset, movies->items[i].moov_offset + 8);
    TakenBytes taken = {begins.items, ends.items, begins.count};
    basics::Growable<JoinedBox, 16> joined_boxes;
    basics::Growable<uint8_t, 256> has_box;  // per clip header: a clip or a joined box of its own
    for (size_t i = 0; i < card->headers->count; i++)
        basics::list_append(&has_box, uint8_t(has_clip(clips, uint32_t(i + 1))));
    for (size_t p = 0; p < card->pairs->count; p++) {
        const analysis::MoviePair* pair = &card->pairs->items[p];
        const mp4::MovieInfo* cut = &movies->items[pair->movie];
        uint64_t mdat_begin, mdat_end;
        if (pair->header_index < 1 || pair->header_index > card->headers->count || out->own.items[pair->movie] ||
            !media_of(&card->headers->items[pair->header_index - 1], &mdat_begin, &mdat_end))
            continue;
        // a box read on into the other file's bytes may still make a clip of the tracks in front of
        // the cut: a box of its tree that does not walk shows the cut, and the clip takes the box
        // put back together
        int listed = analysis::movie_makes_clip(cut);
        if (listed ? !has_box.items[pair->header_index - 1] || rebuild::movie_box_whole(cut, mdat_begin, mdat_end)
                   : has_box.items[pair->header_index - 1])
            continue;
        mp4::MovieInfo joined;
        if (!join_cut_movie(card->image, card->image_size, card->geometry, cut->moov_offset, mdat_begin, mdat_end,
                            &taken, &joined))
            continue;
        out->movies.items[pair->movie] = joined;
        out->own.items[pair->movie] = 1;
        if (listed)
            continue;
        has_box.items[pair->header_index - 1] = 1;
        basics::list_append(&joined_boxes, JoinedBox{pair->movie, pair->header_index, size_t(pair->run)});
    }
    // boxes cut so early that the scan could not read them as a movie at all: each is joined for
    // the one recording without a movie box whose media data takes its tables and whose clip
    // header was written when the box says the recording began
    int64_t shift = 0;
    int known = pairs_shift(card, &shift);
    for (size_t i = 0; card->scan && i < card->scan->moov_hits.count; i++) {
        uint64_t at = card->scan->moov_hits.items[i] - 4;
        mp4::MovieInfo made = {};
        if (card->scan->moov_hits.items[i] < 4 || is_movie_at(movies, at) || !head_made(card, at, &made))
            continue;
        mp4::MovieInfo fit = {};
        size_t fits = 0, fit_run = 0;
        for (size_t r = 0; r < card->runs->count && fits < 2; r++) {
            const analysis::RecordingRun* run = &card->runs->items[r];
            uint64_t mdat_begin, mdat_end;
            mp4::MovieInfo joined;
            // only the recordings begun when its movie header says are tried: each try reads the box
            if (run->header_index < 1 || run->header_index > card->headers->count || has_box.items[run->header_index - 1] ||
                !made_at_run(&made, run, known, shift) || !media_of(&card->headers->items[run->header_index - 1], &mdat_begin, &mdat_end) ||
                !join_cut_movie(card->image, card->image_size, card->geometry, at, mdat_begin, mdat_end, &taken, &joined))
                continue;
            if (!made_at_run(&joined, run, known, shift) || fits++) {
                mp4::free_movie_info(&joined);
                continue;
            }
            fit = joined, fit_run = r;
        }
        if (fits != 1) {
            if (fits)
                mp4::free_movie_info(&fit);
            continue;
        }
        uint32_t header_index = card->runs->items[fit_run].header_index;
        has_box.items[header_index - 1] = 1;
        basics::list_append(&out->movies, fit);
        basics::list_append(&out->own, uint8_t(1));
        basics::list_append(&joined_boxes, JoinedBox{out->movies.count - 1, header_index, fit_run});
    }
    for (size_t p = 0; p < card->pairs->count; p++)
        basics::list_append(&out->pairs, card->pairs->items[p]);
    for (size_t j = 0; j < joined_boxes.count; j++)
        if (joined_boxes.items[j].movie >= movies->count)
            basics::list_append(&out->pairs, analysis::MoviePair{joined_boxes.items[j].run, joined_boxes.items[j].movie,
                                                                 joined_boxes.items[j].header_index});
    // the list of movies is whole now: it moves no more
    for (size_t j = 0; j < joined_boxes.count; j++) {
        const JoinedBox* b = &joined_boxes.items[j];
        analysis::RecoveryClip clip = {};
        clip.clip_number = b->header_index;
        clip.header = &card->headers->items[b->header_index - 1];
        clip.run = &card->runs->items[b->run];
        clip.movie = &out->movies.items[b->movie];
        clip.chunk_count = clip.movie->video.chunk_count;
        clip.chunks = static_cast<analysis::ChunkPlacement*>(
            basics::xcalloc(clip.chunk_count, sizeof(analysis::ChunkPlacement)));
        basics::list_append(&out->clips, clip);
    }
    basics::list_free(&joined_boxes);
    basics::list_free(&has_box);
    basics::list_free(&begins);
    basics::list_free(&ends);
    std::sort(out->clips.items, out->clips.items + out->clips.count,
              [](const analysis::RecoveryClip& a, const analysis::RecoveryClip& b) { return a.clip_number < b.clip_number; });
}

void free_cut_movie_clips(CutMovieClips* c)
{
    analysis::free_clips(&c->clips);
    for (size_t i = 0; i < c->movies.count; i++)
        if (c->own.items[i])
            mp4::free_movie_info(&c->movies.items[i]);
    basics::list_free(&c->movies);
    basics::list_free(&c->own);
    basics::list_free(&c->pairs);
}

void claim_movie_box(const mp4::MovieInfo* m, ClaimedSpan span, ClaimList* out)
{
    uint64_t head = m->moov_head ? m->moov_head : m->moov_size;
    ClaimedSpan first = span;
    first.begin = m->moov_offset;
    first.end = m->moov_offset + head;
    first.bound = m->moov_head ? 0 : span.bound;
    basics::list_append(&out->spans, first);
    if (!m->moov_head)
        return;
    span.begin = m->moov_tail;
    span.end = m->moov_tail + (m->moov_size - head);
    span.file = span.file == UINT64_MAX ? UINT64_MAX : span.file + head;
    basics::list_append(&out->spans, span);
}

}  // namespace salvage
