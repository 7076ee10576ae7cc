#include "salvage/count_thirds.h"

#include <algorithm>
#include <vector>

namespace salvage {

namespace {

// A piece that shows where its recording lies: one placed by a guess, or by the room the others
// leave, shows nothing.
int weighed(const ClaimedSpan& c, uint64_t heap)
{
    return c.end > c.begin && c.begin >= heap && !c.tentative && !c.inferred && !c.by_room && (c.clip || c.tag);
}

int of_files(const ClaimedSpan& c, uint32_t clip, uint32_t tag)
{
    return (clip && c.clip == clip) || (tag && c.tag == tag);
}

// A recording's pieces weighed so far, in image order: the last cluster they take, the file's
// cluster there (UINT64_MAX: not shown) and whether that piece ends the file.
struct Seen {
    uint64_t key;
    uint64_t last, last_file;
    int ends;
};

// Marks clusters [a, b] of the heap, as far as they lie among the n from `first`, in `edges`.
void mark(uint64_t a, uint64_t b, uint64_t first, uint64_t n, std::vector<int64_t>* edges)
{
    a = std::max(a, first), b = std::min(b, first + n - 1);
    if (a > b)
        return;
    (*edges)[a - first]++;
    (*edges)[b - first + 1]--;
}

}  // namespace

void mark_third_room(const image::ImageGeometry* geometry, const ClaimList* claims, const CountedFiles& files,
                     uint64_t first, uint64_t n, uint64_t reach, uint8_t* may)
{
    std::fill(may, may + n, 0);
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = cs ? geometry->heap_offset : 0;
    if (cs == 0 || !claims || n == 0)
        return;
    uint64_t lo = first > reach ? first - reach : 0, hi = first + n - 1 + reach;
    uint64_t from = heap + lo * cs, to = heap + (hi + 1) * cs;
    const ClaimedSpan* items = claims->spans.items;
    const ClaimedSpan* stop = items + claims->spans.count;
    const ClaimedSpan* begin = std::lower_bound(items, stop, from > claims->longest ? from - claims->longest : 0,
                                                [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    // a piece that names both a clip and a kkad tag shows the two are one recording's
    CountedFiles f = files;
    std::vector<std::pair<uint32_t, uint32_t>> tag_of;  // clip, tag of a third recording
    for (const ClaimedSpan* c = begin; c != stop && c->begin < to; c++) {
        if (!weighed(*c, heap) || !c->clip || !c->tag)
            continue;
        if (c->clip == f.clip && !f.tag)
            f.tag = c->tag;
        else if (c->tag == f.tag && !f.clip)
            f.clip = c->clip;
        else if (c->clip == f.other_clip && !f.other_tag)
            f.other_tag = c->tag;
        else if (c->tag == f.other_tag && !f.other_clip)
            f.other_clip = c->clip;
        else
            tag_of.emplace_back(c->clip, c->tag);
    }
    std::vector<Seen> seen;
    std::vector<int64_t> edges(n + 1, 0);
    for (const ClaimedSpan* c = begin; c != stop && c->begin < to; c++) {
        if (c->end <= from || !weighed(*c, heap) || of_files(*c, f.clip, f.tag) ||
            of_files(*c, f.other_clip, f.other_tag))
            continue;
        uint64_t key = c->tag;
        for (size_t i = 0; !key && i < tag_of.size(); i++)
            key = tag_of[i].first == c->clip ? tag_of[i].second : 0;
        key = key ? key : uint64_t(1) << 32 | c->clip;
        uint64_t a = (c->begin - heap) / cs, b = (c->end - 1 - heap) / cs;
        int shown = c->file != UINT64_MAX && (c->begin - heap) % cs == c->file % cs &&
                    c->file <= UINT64_MAX - (c->end - c->begin);
        uint64_t first_file = shown ? c->file / cs : UINT64_MAX;
        uint64_t last_file = shown ? (c->file + (c->end - 1 - c->begin)) / cs : UINT64_MAX;
        auto s = std::find_if(seen.begin(), seen.end(), [key](const Seen& x) { return x.key == key; });
        if (s == seen.end()) {
            // in front of its first piece, unless that begins its file
            if (c->bound != file_starts && first_file != 0 && a > 0)
                mark(lo, a - 1, first, n, &edges);
            seen.push_back(Seen{key, b, last_file, c->bound == file_ends});
            continue;
        }
        // between two of its pieces, unless its file has their clusters side by side
        if (a > s->last + 1 && !(first_file != UINT64_MAX && s->last_file != UINT64_MAX && first_file == s->last_file + 1))
            mark(s->last + 1, a - 1, first, n, &edges);
        if (b >= s->last)
            s->last = b, s->last_file = last_file, s->ends = c->bound == file_ends;
    }
    // behind its last piece, unless that ends its file
    for (const Seen& s : seen)
        if (!s.ends)
            mark(s.last + 1, hi, first, n, &edges);
    int64_t open = 0;
    for (uint64_t i = 0; i < n; i++)
        may[i] = (open += edges[i]) > 0;
}

}  // namespace salvage
