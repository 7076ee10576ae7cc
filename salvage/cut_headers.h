#pragma once
// Clip headers the header list leaves out because their media data runs past the end of the
// image: a card cut short, or a file that goes on at the heap's start where a file system's
// allocator wrapped. Their recordings are salvage's alone, numbered after the listed clips.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// The clip header of run `r`: a cut header between the listed one and the run is the run's own
// (kept in `cut`); null when the run has neither. `number` is its clip number.
const analysis::ClipHeader* run_header(const SalvageCard* card, size_t r, analysis::ClipHeader* cut,
                                       uint32_t* number);

// The camera's clock against the movie boxes' times, as the pairing found it: one for the card.
int card_time_shift(const SalvageCard* card);

// The recordings behind cut headers whose movie box is on the card and was paired with no run,
// made at the run's time: clips of their own (no chunk mapped yet), and their pairs.
struct CutHeaderClips {
    analysis::ClipHeaderList headers;
    analysis::ClipList clips;
    analysis::PairList pairs;
};
void find_cut_header_clips(const SalvageCard* card, CutHeaderClips* out);
void free_cut_header_clips(CutHeaderClips* c);

}  // namespace salvage
