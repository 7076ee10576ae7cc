#include "salvage/run_witness.h"

#include "codec/nal_units.h"
#include "salvage/join_anchors.h"
#include "salvage/layout_join.h"

namespace salvage {

int run_witness(const uint8_t* sample, uint64_t n, uint64_t b, uint64_t from, int hevc, uint64_t* shown)
{
    uint64_t last = codec::last_unit_at(sample, n), header = hevc ? 2 : 1;
    if (b >= from) {
        *shown = b + last + 4 + header;
        return 1;
    }
    if (last < from - b)
        return 0;  // the run holds payload of the sample's last unit only
    *shown = b + n;
    return 1;
}

int run_witness_cut(const uint8_t* sample, uint64_t known, uint64_t n, uint64_t b, uint64_t file, uint64_t cs,
                    codec::Syntax syntax, uint64_t* shown)
{
    uint64_t header = syntax == codec::Syntax::hevc ? 2 : 1, last = 0;
    for (uint64_t e = cs ? (file / cs + 1) * cs : 0; cs && e < file + n && e - file <= known; e += cs)
        if (codec::units_shown(sample, e - file, n, syntax, &last) && last + 4 + header <= e - file) {
            *shown = b + last + 4 + header;
            return 1;
        }
    return 0;
}

namespace {

// The heap's cluster index of image offset `at`, or UINT64_MAX off the heap's `n` clusters.
uint64_t cluster_index(const image::ImageGeometry* g, uint64_t n, uint64_t at)
{
    uint64_t i = at >= g->heap_offset ? (at - g->heap_offset) / g->cluster_bytes : UINT64_MAX;
    return i < n ? i : UINT64_MAX;
}

int held_by_others(const image::ImageGeometry* g, const JoinWindow* w, uint64_t index)
{
    uint64_t begin = g->heap_offset + index * g->cluster_bytes, at;
    return first_foreign(w->claims, begin, begin + g->cluster_bytes, w->clip, w->tag, &at);
}

}  // namespace

int layout_puts_run(const image::ImageGeometry* geometry, uint64_t image_size, const JoinWindow* window,
                    uint64_t head_end, uint64_t cut, uint64_t c, JoinAnchor next)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || !window || !window->claims || cut % cs || next.file < cut || image_size <= geometry->heap_offset)
        return 0;
    uint64_t n = (image_size - geometry->heap_offset) / cs, h = cluster_index(geometry, n, head_end);
    uint64_t at = cluster_index(geometry, n, c), want = (next.file - cut) / cs, steps = 0;
    if (h == UINT64_MAX || at == UINT64_MAX || head_end % cs != geometry->heap_offset % cs ||
        c % cs != geometry->heap_offset % cs || held_by_others(geometry, window, at))
        return 0;
    // the clusters between the two runs are the others'
    for (uint64_t i = h; i != at; i = i + 1 < n ? i + 1 : 0)
        if (++steps > layout_clusters_max || !held_by_others(geometry, window, i))
            return 0;
    // and every cluster from `c` on that is not theirs is the file's next
    for (uint64_t i = at, got = 0;; i = i + 1 < n ? i + 1 : 0) {
        if (++steps > layout_clusters_max)
            return 0;
        if (held_by_others(geometry, window, i))
            continue;
        if (got++ == want)
            return geometry->heap_offset + i * cs + (next.file - cut) % cs == next.image;
    }
}

uint64_t first_cluster_left(const image::ImageGeometry* geometry, uint64_t image_size, const JoinWindow* window,
                            uint64_t head_end)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || !window || !window->claims || image_size <= geometry->heap_offset ||
        head_end % cs != geometry->heap_offset % cs)
        return UINT64_MAX;
    uint64_t n = (image_size - geometry->heap_offset) / cs, i = cluster_index(geometry, n, head_end);
    for (uint64_t steps = 0; i != UINT64_MAX && steps < layout_clusters_max && steps < n; steps++) {
        if (!held_by_others(geometry, window, i))
            return steps ? geometry->heap_offset + i * cs : UINT64_MAX;
        i = i + 1 < n ? i + 1 : 0;
    }
    return UINT64_MAX;
}

}  // namespace salvage
