#pragma once
// Clip headers given back to their recordings. Two recordings begun at once take turns in the
// card's clusters from their first: where the first run of one is shorter than the metadata in
// front of its first chunk, its first kkad box lies behind the other's clip header, and the scan
// gives its run that header. Its movie box then does not fit the header's media data.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "basics/growable.h"

namespace salvage {

// The clips with their headers put right, in clip-number order, and the pairs to match.
struct RepairedClips {
    analysis::ClipList clips;
    basics::Growable<uint8_t, 256> written;
    basics::Growable<uint64_t*, 256> at;
    analysis::PairList pairs;
    int changed;  // 0: the lists are copies of the request's
};

// A clip whose movie box does not fit its header's media data takes the one other header within
// reach of its run that it fits closely (every chunk inside, less than one chunk's stride of
// media data behind the last) and that no clip fits already; the card's pairs follow. `written`
// and `at` are the request's per-clip flags and chunk lists (either may be null).
struct SalvageCard;
void repair_header_pairs(const SalvageCard* card, const analysis::ClipList* clips, const uint8_t* written,
                         uint64_t* const* at, RepairedClips* out);
void free_repaired_clips(RepairedClips* r);

}  // namespace salvage
