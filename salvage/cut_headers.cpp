#include "salvage/cut_headers.h"

#include <algorithm>
#include <cstdlib>

#include "analysis/candidates.h"
#include "analysis/recording_runs.h"
#include "basics/checked_alloc.h"

namespace salvage {

using namespace analysis;

namespace {

// A clip header the header list left out because its media data runs past the end of the image
// (a card cut short, or a file that goes on at the heap's start): checked as every header is,
// against an image without an end.
int cut_header_at(std::FILE* image, uint64_t image_size, uint64_t hit, ClipHeader* out)
{
    return hit >= 4 && validate_clip_header(image, UINT64_MAX / 2, hit, out) && out->mdat_end > image_size;
}

// The cut header in front of a run, and its clip number: such clips are numbered after the
// listed ones, in image order, so that no two recordings share a number.
int cut_header_before(std::FILE* image, uint64_t image_size, const image::ScanIndex* scan,
                      const ClipHeaderList* headers, uint64_t run_start, ClipHeader* out, uint32_t* number)
{
    const uint64_t* hits = scan->xavc_hits.items;
    size_t n = size_t(std::upper_bound(hits, hits + scan->xavc_hits.count, run_start) - hits);
    ClipHeader h;
    if (n == 0 || hits[n - 1] < 4 || !header_reaches(hits[n - 1] - 4, run_start) ||
        !cut_header_at(image, image_size, hits[n - 1], &h))
        return 0;
    h.mdat_end = image_size;
    h.mdat_size = image_size - h.mdat_offset;
    uint32_t before = 0;
    ClipHeader other;
    for (size_t i = 0; i + 1 < n; i++)
        before += cut_header_at(image, image_size, hits[i], &other);
    *out = h;
    *number = uint32_t(headers->count) + before + 1;
    return 1;
}

int paired(const PairList* pairs, size_t movie)
{
    for (size_t i = 0; i < pairs->count; i++)
        if (pairs->items[i].movie == movie)
            return 1;
    return 0;
}

}  // namespace

const ClipHeader* run_header(const SalvageCard* card, size_t r, ClipHeader* cut, uint32_t* number)
{
    const RecordingRun* run = &card->runs->items[r];
    uint32_t cut_number;
    *number = run->header_index;
    const ClipHeader* header = *number ? &card->headers->items[*number - 1] : nullptr;
    if (cut_header_before(card->image, card->image_size, card->scan, card->headers, run->start_offset, cut,
                          &cut_number) &&
        (!header || cut->header_offset > header->header_offset))
        header = cut, *number = cut_number;
    return header;
}

int card_time_shift(const SalvageCard* card)
{
    return card->pairs->count ? choose_time_shift(card->runs, card->movies) : 0;
}

void find_cut_header_clips(const SalvageCard* card, CutHeaderClips* out)
{
    *out = {};
    int shift = choose_time_shift(card->runs, card->movies);
    uint8_t* used = static_cast<uint8_t*>(basics::xcalloc(card->movies->count + 1, 1));
    for (size_t r = 0; r < card->runs->count; r++) {
        ClipHeader cut;
        uint32_t number;
        const ClipHeader* header = run_header(card, r, &cut, &number);
        if (header != &cut)
            continue;
        for (size_t m = 0; m < card->movies->count; m++) {
            const mp4::MovieInfo* movie = &card->movies->items[m];
            if (used[m] || paired(card->pairs, m) || !movie_made_at_run(movie, &card->runs->items[r], shift) ||
                !movie_makes_clip(movie))
                continue;
            used[m] = 1;
            basics::list_append(&out->headers, cut);
            basics::list_append(&out->pairs, MoviePair{r, m, number});
            break;
        }
    }
    std::free(used);
    // the headers are all in place: the clips point into their list
    for (size_t i = 0; i < out->pairs.count; i++) {
        const MoviePair* pair = &out->pairs.items[i];
        const mp4::MovieInfo* movie = &card->movies->items[pair->movie];
        RecoveryClip clip = {};
        clip.clip_number = pair->header_index;
        clip.header = &out->headers.items[i];
        clip.run = &card->runs->items[pair->run];
        clip.movie = movie;
        clip.chunk_count = movie->video.chunk_count;
        clip.chunks = static_cast<ChunkPlacement*>(basics::xcalloc(clip.chunk_count, sizeof(ChunkPlacement)));
        basics::list_append(&out->clips, clip);
    }
}

void free_cut_header_clips(CutHeaderClips* c)
{
    free_clips(&c->clips);
    basics::list_free(&c->headers);
    basics::list_free(&c->pairs);
}

}  // namespace salvage
