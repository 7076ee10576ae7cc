#include "salvage/damaged_chunk.h"

namespace salvage {

namespace {

// 1 when a cluster boundary falls after the unit's length field at `unit_at` and before `end`;
// also when the card's clusters are unknown.
int boundary_inside(const image::ImageGeometry* geometry, uint64_t unit_at, uint64_t end)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    if (cs == 0 || unit_at < heap)
        return 1;
    uint64_t next_boundary = heap + ((unit_at - heap) / cs + 1) * cs;
    return next_boundary < end;
}

}  // namespace

int sample_intact(const uint8_t* sample, uint64_t len, codec::Syntax syntax)
{
    return len >= 5 && codec::starts_with_delimiter(sample, syntax == codec::Syntax::hevc) &&
           codec::sample_structure_ok(sample, len, syntax) && codec::units_escaped(sample, len);
}

uint64_t leading_camera_samples(const uint8_t* bytes, uint64_t have, const mp4::SampleSizes* sizes,
                                codec::Syntax syntax, uint64_t image_offset, const image::ImageGeometry* geometry)
{
    uint64_t n = 0, pos = 0, last = 0;
    while (n < sizes->count && mp4::sample_size_at(sizes, n) <= have - pos &&
           sample_intact(bytes + pos, mp4::sample_size_at(sizes, n), syntax)) {
        last = pos;
        pos += mp4::sample_size_at(sizes, n++);
    }
    if (n == 0 || n == sizes->count)
        return n;
    int image_ends = mp4::sample_size_at(sizes, n) > have - pos;
    int next_intact = have - pos >= 5 && codec::starts_with_delimiter(bytes + pos, syntax == codec::Syntax::hevc);
    uint64_t unit_at = image_offset + last + codec::last_unit_at(bytes + last, pos - last);
    if (!image_ends && !next_intact && boundary_inside(geometry, unit_at, image_offset + pos))
        n--;
    return n;
}

}  // namespace salvage
