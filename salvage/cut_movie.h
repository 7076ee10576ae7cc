#pragma once
// Movie boxes a run boundary cut. The camera writes the movie box behind the media data; when
// the file's run ends inside it, the rest lies at the start of a later cluster, and the box as it
// lies on the card reads into the other file's bytes. Such a box is put back together only where
// its structure proves the join.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// The clusters a candidate rest may start at, behind the edge it is cut at.
constexpr uint64_t cut_movie_window = 64;

// What the rest of a cut box may not lie over: bytes [begin, end) of another file's located piece.
struct TakenBytes {
    const uint64_t* begin;
    const uint64_t* end;
    size_t count;
};

// The movie box whose size field is at image offset `at`, of the recording whose media data is
// [mdat_begin, mdat_end) of its file: its bytes up to a cluster edge inside it, and the rest from
// the start of one of the next cut_movie_window clusters not in `taken`. Taken (1, `out` filled
// and owning its copy) only when exactly one edge and cluster make a box whose tree walks exactly
// to its size with a box header behind the cut, and which parses as a movie of the camera's
// chunks with every chunk inside the media data.
int join_cut_movie(std::FILE* image, uint64_t image_size, const image::ImageGeometry* g, uint64_t at,
                   uint64_t mdat_begin, uint64_t mdat_end, const TakenBytes* taken, mp4::MovieInfo* out);

// The card's movie boxes with the paired ones a run boundary cut put back together in their
// place, those cut too early to be read as a movie at all put back together behind them, and a
// clip for each such box whose recording has no clip yet (no chunk mapped).
struct CutMovieClips {
    analysis::MovieList movies;          // every movie of the card, the joined ones owned here
    basics::Growable<uint8_t, 256> own;  // 1 per movie joined here
    analysis::ClipList clips;            // in clip-number order
    analysis::PairList pairs;            // the card's pairs, and one for each box joined behind them
};
void find_cut_movie_clips(const SalvageCard* card, const analysis::ClipList* clips, CutMovieClips* out);
void free_cut_movie_clips(CutMovieClips* c);

// The spans of a clip's movie box, both runs of a joined one; `span` gives the clip, tag, bound (a
// bound the file ends with goes with the box's last bytes) and the file offset of the box's first
// byte (UINT64_MAX: not known).
void claim_movie_box(const mp4::MovieInfo* m, ClaimedSpan span, ClaimList* out);

}  // namespace salvage
