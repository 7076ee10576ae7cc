#include "salvage/sample_heads.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "image/read_at.h"
#include "salvage/cluster_count.h"
#include "salvage/layout_join.h"

namespace salvage {

void find_sample_heads(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                       const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t lo, uint64_t hi, uint64_t file,
                       const mp4::SampleSizes* sizes, codec::Syntax syntax, uint64_t clusters_max,
                       basics::Growable<ClaimedSpan, 16>* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = cs ? geometry->heap_offset : 0;
    if (cs == 0 || lo < heap || hi <= lo)
        return;
    uint64_t lc = (lo - heap) / cs, hc = (hi - heap) / cs, n = hc - lc + 1;
    if (n > clusters_max || n * cs > heads_read_max || heap + (hc + 1) * cs > image_size)
        return;
    auto* bytes = static_cast<uint8_t*>(basics::xmalloc(n * cs));
    uint64_t header = syntax == codec::Syntax::hevc ? 2 : 1, s = file;
    for (uint64_t i = 0, read = image::read_at(image, heap + lc * cs, bytes, n * cs); read && i < sizes->count; i++) {
        uint64_t size = mp4::sample_size_at(sizes, i), in = s % cs, have = std::min(cs - in, size), last = 0;
        uint64_t found = UINT64_MAX, shown = 0, held = 0;
        int matches = 0;
        for (uint64_t c = 0; c < n && matches < 2; c++) {
            uint64_t at = heap + (lc + c) * cs + in;
            if (codec::units_shown(bytes + c * cs + in, have, size, syntax, &last) && last + 4 + header <= have &&
                !first_foreign(claims, at, at + 1, clip, tag, &held))
                matches++, found = at, shown = last + 4 + header;
        }
        if (matches == 1)
            basics::list_append(out, ClaimedSpan{found, found + shown, clip, tag, 0, s});
        s += size;
    }
    std::free(bytes);
}

uint64_t sample_head_between(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                             const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t lo, uint64_t hi,
                             uint64_t file, uint32_t size, codec::Syntax syntax)
{
    const mp4::SampleSizes one{&size, 0, 1};
    basics::Growable<ClaimedSpan, 16> heads{};
    find_sample_heads(image, image_size, geometry, claims, clip, tag, lo, hi, file, &one, syntax, count_clusters_max,
                      &heads);
    uint64_t at = heads.count == 1 ? heads.items[0].begin : 0;
    basics::list_free(&heads);
    return at;
}

}  // namespace salvage
