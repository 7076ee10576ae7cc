#include "salvage/written_short.h"

#include "analysis/analysis_types.h"

namespace salvage {

int written_short(const SalvageRequest* r, size_t i)
{
    const analysis::RecoveryClip* clip = &r->clips->items[i];
    const uint64_t* at = r->written_at ? r->written_at[i] : nullptr;
    uint64_t count = clip->movie->video.chunk_count;
    if (clip->chunk_count < count)
        return 1;
    for (uint64_t k = 0; k < count; k++)
        if (at ? at[k] == UINT64_MAX : !clip->chunks[k].resolved)
            return 1;
    return 0;
}

namespace {

// The chunks of clip i the documented rules looked for, and where they found chunk k (UINT64_MAX:
// nowhere).
uint64_t chunks_sought(const SalvageRequest* r, size_t i)
{
    const analysis::RecoveryClip* clip = &r->clips->items[i];
    uint64_t count = clip->movie ? clip->movie->video.chunk_count : 0;
    return clip->chunk_count < count ? clip->chunk_count : count;
}

uint64_t found_at(const SalvageRequest* r, size_t i, uint64_t k)
{
    const analysis::RecoveryClip* clip = &r->clips->items[i];
    if (r->written_at && r->written_at[i])
        return r->written_at[i][k];
    return clip->chunks[k].resolved ? clip->chunks[k].data_offset : UINT64_MAX;
}

}  // namespace

// Only there can a cut have moved a chunk among the others' pieces, where a plan knowing them finds
// it; a clip with nothing else among its pieces gains nothing from planning it again, which reads
// it all again.
int others_between(const SalvageRequest* r, size_t i)
{
    const analysis::ClipList* clips = r->clips;
    const analysis::RecoveryClip* clip = &clips->items[i];
    uint64_t lo = UINT64_MAX, hi = 0;
    auto widen = [&](uint64_t at) {
        if (at != UINT64_MAX)
            lo = at < lo ? at : lo, hi = at > hi ? at : hi;
    };
    widen(clip->header ? clip->header->header_offset : UINT64_MAX);
    widen(clip->movie->moov_offset);
    for (uint64_t k = 0; k < chunks_sought(r, i); k++)
        widen(found_at(r, i, k));
    auto inside = [&](uint64_t at) { return at != UINT64_MAX && at > lo && at < hi; };
    for (size_t j = 0; j < clips->count && lo < hi; j++) {
        if (j == i)
            continue;
        if (clips->items[j].header && inside(clips->items[j].header->header_offset))
            return 1;
        for (uint64_t k = 0; k < chunks_sought(r, j); k++)
            if (inside(found_at(r, j, k)))
                return 1;
    }
    const analysis::MarkerList* markers = r->card.markers;
    uint32_t tag = clip->run ? clip->run->tag : 0;
    for (size_t m = 0; clip->run && markers && m < markers->count && lo < hi; m++)
        if (markers->items[m].valid && markers->items[m].tag != tag && inside(markers->items[m].marker_offset))
            return 1;
    return 0;
}

}  // namespace salvage
