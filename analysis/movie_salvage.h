#pragma once
// Salvage of a clip whose movie box survived but whose video the documented rules could not
// complete: every video chunk still on the card, found where the interleave puts it, with its
// sound; what is not on the card is left out and the rest plays straight through.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "analysis/salvage_plan.h"
#include "image/exfat_detect.h"

namespace analysis {

// The plan and, for each of its pieces, the clip's video or sound chunk it holds.
struct MovieSalvage {
    SalvagePlan plan;
    uint64_t* piece_chunk;
};

// Plans the clip (the card's geometry tells where overwritten clusters may begin), keeping at most limits[k] leading samples of video chunk k (one limit per video
// chunk of the movie box; null: no limits) with the sound of the same span; the valid kkad
// markers of the card (in image order) vouch for the bytes around the sound. 0 when no video
// sample is kept.
int plan_movie_salvage(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                       const RecoveryClip* clip, const MarkerList* markers, const uint64_t* limits, MovieSalvage* out);
// The video chunk that holds kept video sample `kept_index` and the sample's place among the
// chunk's kept samples; 0 when no piece holds it.
int chunk_of_kept_sample(const MovieSalvage* salvage, uint64_t kept_index, uint64_t* chunk, uint64_t* within);
void free_movie_salvage(MovieSalvage* salvage);

}  // namespace analysis
