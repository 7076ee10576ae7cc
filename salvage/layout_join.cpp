// Pieces of a file placed between two of its located pieces by the layout alone: by the cluster
// edges a boundary may fall on, and those the other recordings' located pieces leave.
#include "salvage/layout_join.h"

#include <algorithm>

#include "salvage/runs_proven.h"

namespace salvage {

namespace {

int foreign(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag, uint32_t tentative = 0,
            uint32_t inferred = 1)
{
    uint64_t at;
    return first_foreign(claims, begin, end, clip, tag, &at, tentative, inferred);
}

}  // namespace

int on_same_edge(const image::ImageGeometry* g, uint64_t image_offset, uint64_t file)
{
    return image_offset >= g->heap_offset && (image_offset - g->heap_offset) % g->cluster_bytes == file % g->cluster_bytes;
}

ChunkPlace placed_at_cut(JoinAnchor lo, JoinAnchor hi, uint64_t cut, uint64_t file, uint64_t size)
{
    uint64_t tail = hi.image - (hi.file - cut);
    if (cut <= file)
        return ChunkPlace{tail + (file - cut), 0, 0};
    if (cut >= file + size)
        return ChunkPlace{lo.image + (file - lo.file), 0, 0};
    return ChunkPlace{lo.image + (file - lo.file), cut - file, tail};
}

int first_foreign(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag, uint64_t* at,
                  uint32_t tentative, uint32_t inferred)
{
    if (!claims)
        return 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    uint64_t from = begin > claims->longest ? begin - claims->longest : 0;
    const ClaimedSpan* c =
        std::lower_bound(first, stop, from, [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    int found = 0;
    for (; c != stop && c->begin < end; c++)
        if (c->end > begin && c->clip != clip && (c->tag == 0 || c->tag != tag) && c->tentative <= tentative &&
            c->inferred <= inferred) {
            uint64_t x = c->begin > begin ? c->begin : begin;
            if (!found || x < *at)
                *at = x;
            found = 1;
        }
    return found;
}

void sort_claims(ClaimList* claims)
{
    ClaimedSpan* first = claims->spans.items;
    std::sort(first, first + claims->spans.count,
              [](const ClaimedSpan& a, const ClaimedSpan& b) { return a.begin < b.begin; });
    claims->longest = 0;
    for (uint64_t i = 0; i < claims->spans.count; i++)
        claims->longest = std::max(claims->longest, first[i].end - first[i].begin);
}

int edges_left(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
               uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t* first_left,
               uint64_t* last_left)
{
    uint64_t edges[claim_edges_tried];
    uint32_t left = edges_kept(geometry, image_size, lo, hi, file, size, claims, clip, tag, edges, claim_edges_tried);
    if (left) {
        *first_left = edges[0];
        *last_left = edges[left - 1];
    }
    return int(left);
}

uint32_t edges_kept(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                    uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t* out,
                    uint32_t max)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || lo.file > file || file > UINT64_MAX - size || hi.file < file + size ||
        !on_same_edge(geometry, lo.image, lo.file) || !on_same_edge(geometry, hi.image, hi.file) ||
        hi.file - lo.file > hi.image || lo.image > image_size || hi.image > image_size)
        return 0;
    uint64_t first = (lo.file / cs + 1) * cs, last = hi.file / cs * cs;
    if (first > last || (last - first) / cs >= claim_edges_tried)
        return 0;
    uint32_t left = 0;
    for (uint64_t e = first; e <= last; e += cs) {
        uint64_t head_end = lo.image + (e - lo.file), tail = hi.image - (hi.file - e);
        // a piece inferred from where one of several boundaries may fall can be wrong: it rules out no edge
        if ((tail < head_end && lo.image < hi.image) || foreign(claims, lo.image, head_end, clip, tag, 0, 0) ||
            foreign(claims, tail, hi.image, clip, tag, 0, 0))
            continue;  // a run would hold another recording's piece
        if (left < max)
            out[left] = e;
        left++;
    }
    return left < max ? left : max;
}

void claim_sure_between(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                        uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                        basics::Growable<ClaimedSpan, 16>* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, first = 0, last = 0;
    if (cs && lo.file <= file && (lo.file / cs + 1) * cs >= file + size && lo.image <= image_size &&
        image_size - lo.image >= file + size - lo.file) {
        // no edge in front of the bytes' end: they lie in lo's run
        basics::list_append(out, ClaimedSpan{lo.image + (file - lo.file), lo.image + (file + size - lo.file), clip, tag});
        return;
    }
    int left = edges_left(geometry, image_size, lo, hi, file, size, claims, clip, tag, &first, &last);
    if (left == 1) {
        // the one edge the others' pieces leave, with nothing but a guess of theirs around it yet
        ChunkPlace at = placed_at_cut(lo, hi, first, file, size);
        if (at.at > image_size || image_size - at.at < (at.cut ? at.cut : size) ||
            (at.cut && (at.tail > image_size || image_size - at.tail < size - at.cut)))
            return;
        basics::list_append(out, ClaimedSpan{at.at, at.at + (at.cut ? at.cut : size), clip, tag, 1});
        if (at.cut)
            basics::list_append(out, ClaimedSpan{at.tail, at.tail + (size - at.cut), clip, tag, 1});
        return;
    }
    if (left < 2)
        return;
    if (first > file)
        basics::list_append(out, ClaimedSpan{lo.image + (file - lo.file),
                                             lo.image + ((first < file + size ? first : file + size) - lo.file), clip, tag,
                                             0, UINT64_MAX, 1});
    if (last < file + size)
        basics::list_append(out, ClaimedSpan{hi.image - (hi.file - (last > file ? last : file)),
                                             hi.image - (hi.file - (file + size)), clip, tag, 0, UINT64_MAX, 1});
}

int join_by_claims(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                   uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                   ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, cut = 0, last = 0;
    // with two edges left, either could be the boundary
    if (!claims || edges_left(geometry, image_size, lo, hi, file, size, claims, clip, tag, &cut, &last) != 1)
        return 0;
    uint64_t head_end = cut ? lo.image + (cut - lo.file) : 0, tail = cut ? hi.image - (hi.file - cut) : 0;
    // another recording's pieces end lo's run right at the edge and begin right before hi's
    if (!cut || !foreign(claims, head_end, head_end + cs, clip, tag, 1) || tail < cs ||
        !foreign(claims, tail - cs, tail, clip, tag, 1) || !runs_proven(geometry, claims, clip, tag, lo, hi, cut))
        return 0;
    ChunkPlace at = placed_at_cut(lo, hi, cut, file, size);
    uint64_t held = at.cut ? at.cut : size;
    if (at.at > image_size || image_size - at.at < held || (at.cut && image_size - at.tail < size - at.cut))
        return 0;
    *out = at;
    return 1;
}

int join_between(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                 uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || lo.file > file || file > UINT64_MAX - size || hi.file < file + size ||
        !on_same_edge(geometry, lo.image, lo.file) || !on_same_edge(geometry, hi.image, hi.file))
        return 0;
    // a boundary falls on a cluster edge in (lo, hi]: with none before the bytes' end they all lie
    // in lo's run, with none after their start in hi's, however many boundaries there are
    uint64_t first = (lo.file / cs + 1) * cs, last = hi.file / cs * cs;
    if (first >= file + size || last <= file) {
        uint64_t at = first >= file + size ? lo.image + (file - lo.file) : hi.image - (hi.file - file);
        if (first >= file + size ? lo.image > UINT64_MAX - (file - lo.file) : hi.file - file > hi.image)
            return 0;
        if (at > image_size || image_size - at < size)
            return 0;
        *out = ChunkPlace{at, 0, 0};
        return 1;
    }
    // else the one cluster edge in (lo, hi] must be the boundary; with two edges there, either could be
    uint64_t cut = first;
    if (cut != last || cut - lo.file > UINT64_MAX - lo.image || hi.file - cut > hi.image)
        return 0;
    uint64_t head_at = lo.image + (cut - lo.file), tail = hi.image - (hi.file - cut);
    if (head_at == tail || head_at > image_size || tail > image_size || image_size - tail < file + size - cut)
        return 0;
    *out = ChunkPlace{lo.image + (file - lo.file), cut - file, tail};
    return 1;
}

int join_sound_behind(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor last,
                      const JoinAnchor* next, uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || !on_same_edge(geometry, last.image, last.file) || file <= last.file || file > UINT64_MAX - size ||
        last.image > UINT64_MAX - (file + size - last.file))
        return 0;
    uint64_t at = last.image + (file - last.file);
    if ((last.file / cs + 1) * cs >= file + size || (next && next->file >= file + size && same_run(&last, next))) {
        if (at > image_size || image_size - at < size)
            return 0;
        *out = ChunkPlace{at, 0, 0};
        return 1;
    }
    return next && join_between(geometry, image_size, last, *next, file, size, out);
}

}  // namespace salvage
