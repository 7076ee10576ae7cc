#include "salvage/join_ways.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"

namespace salvage {

namespace {

constexpr uint64_t ways_unset = UINT64_MAX;
constexpr uint64_t ways_differ = UINT64_MAX - 1;

// The chunk's byte where the file's cluster `i` of those it touches begins.
uint64_t cluster_begin(const WaysAgreed* w, uint64_t i)
{
    return i == 0 ? 0 : (w->file / w->cs + i) * w->cs - w->file;
}

}  // namespace

WaysAgreed ways_start(uint64_t file, uint64_t size, uint64_t cs)
{
    WaysAgreed w{file, size, cs, nullptr, 0, 0};
    if (cs == 0 || size == 0)
        return w;
    w.count = (file + size - 1) / cs - file / cs + 1;
    w.at = static_cast<uint64_t*>(basics::xmalloc(w.count * sizeof(uint64_t)));
    std::fill(w.at, w.at + w.count, ways_unset);
    return w;
}

void ways_free(WaysAgreed* w)
{
    std::free(w->at);
    w->at = nullptr;
    w->count = 0;
}

void ways_note(WaysAgreed* w, const ChunkPlace* place)
{
    w->ways++;
    for (uint64_t i = 0; i < w->count; i++) {
        uint64_t x = cluster_begin(w, i), from, at;
        // a run begins on a cluster edge, so the whole cluster lies where its first byte does
        place_run_of(place, x, &from, &at);
        uint64_t here = at + (x - from);
        if (w->at[i] == ways_unset)
            w->at[i] = here;
        else if (w->at[i] != here)
            w->at[i] = ways_differ;
    }
}

uint64_t ways_sure(const WaysAgreed* w, uint64_t upto, uint32_t clip, uint32_t tag,
                   basics::Growable<ClaimedSpan, 16>* out)
{
    uint64_t added = 0;
    for (uint64_t i = 0; w->ways >= 2 && i < w->count;) {
        if (w->at[i] >= ways_differ) {
            i++;
            continue;
        }
        // the clusters that follow on in the image as in the file make one span
        uint64_t j = i + 1;
        while (j < w->count && w->at[j] < ways_differ &&
               w->at[j] - w->at[i] == cluster_begin(w, j) - cluster_begin(w, i))
            j++;
        uint64_t begin = cluster_begin(w, i), end = std::min(j < w->count ? cluster_begin(w, j) : w->size, upto);
        if (end <= begin)
            break;
        basics::list_append(out, ClaimedSpan{w->at[i], w->at[i] + (end - begin), clip, tag});
        added++;
        i = j;
    }
    return added;
}

}  // namespace salvage
