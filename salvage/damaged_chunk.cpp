#include "salvage/damaged_chunk.h"

#include <cstring>

#include "analysis/chunk_locate.h"
#include "image/card_reader.h"
#include "image/read_at.h"

namespace salvage {

using namespace analysis;

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

int samples_intact(const uint8_t* bytes, uint64_t size, const mp4::SampleSizes* sizes, codec::Syntax syntax)
{
    for (uint64_t i = 0, at = 0; i < sizes->count; i++) {
        uint64_t n = mp4::sample_size_at(sizes, i);
        if (n > size - at || !sample_intact(bytes + at, n, syntax))
            return 0;
        at += n;
    }
    return 1;
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

uint64_t read_chunk_start(std::FILE* image, uint64_t image_size, uint64_t at, uint64_t size)
{
    if (at >= image_size)
        return 0;
    // a chunk the end of the image cuts keeps the samples before the cut
    uint64_t have = image_size - at < size ? image_size - at : size;
    // bytes the card did not give end the chunk's samples as the end of the image would
    have = image::card_known_until(image, at, at + have) - at;
    if (have == 0)
        return 0;
    grow_read_buffer(&direct_read_buffer, have);
    return image::read_at(image, at, direct_read_buffer.data, have) ? have : 0;
}

int damaged_chunk_at(const RecordingScope* r, const Described* d, uint64_t at, SalvageChunk* out)
{
    uint64_t total = 0;
    for (uint32_t s : d->sizes)
        total += s;
    uint64_t have = total > whole_read_limit ? 0 : read_chunk_start(r->image, r->image_size, at, total);
    if (have == 0)
        return 0;
    SalvageChunk c = {};
    const mp4::SampleSizes sizes = {d->sizes, 0, camera_chunk_samples};
    c.samples = uint32_t(leading_camera_samples(direct_read_buffer.data, have, &sizes,
                                                codec::syntax_of(video_format(r->hevc)), at, r->geometry));
    if (c.samples == 0)
        return 0;
    c.image_offset = at;
    c.file_offset = d->file_offset;
    c.file_known = 1;
    std::memcpy(c.sizes, d->sizes, sizeof c.sizes);
    c.full_bytes = total;
    c.described = 1;
    c.end_confirmed = 1;
    c.box = d->marker_offset;
    *out = c;
    return 1;
}

}  // namespace salvage
