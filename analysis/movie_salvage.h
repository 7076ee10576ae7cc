#pragma once
// Salvage of a clip whose movie box survived but whose video the documented rules could not
// complete: every video chunk still on the card, found where the interleave puts it, with its
// sound; what is not on the card is left out and the rest plays straight through.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "analysis/salvage_plan.h"

namespace analysis {

// The plan and, for each of its pieces, the clip's video or sound chunk it holds.
struct MovieSalvage {
    SalvagePlan plan;
    uint64_t* piece_chunk;
};

// Plans the clip, leaving out the video chunks flagged in `refused` (one flag per video chunk of
// the movie box, may be null) with their sound; the valid kkad markers of the card (in image
// order) vouch for the bytes around the sound. 0 when no video chunk is kept.
int plan_movie_salvage(std::FILE* image, uint64_t image_size, const RecoveryClip* clip, const MarkerList* markers,
                       const uint8_t* refused, MovieSalvage* out);
// The video chunk that holds kept video sample `kept_index`; 0 when no piece holds it.
int chunk_of_kept_sample(const MovieSalvage* salvage, uint64_t kept_index, uint64_t* chunk);
void free_movie_salvage(MovieSalvage* salvage);

}  // namespace analysis
