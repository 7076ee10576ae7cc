#include "salvage/chunk_claims.h"

#include "analysis/chunk_locate.h"
#include "codec/nal_units.h"

namespace salvage {

uint64_t chunk_bytes_shown(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const SalvageChunk* c, uint64_t bytes)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (c->sound_follows || cs == 0 || c->samples == 0 || bytes != c->full_bytes)
        return bytes;
    uint64_t last = c->sizes[c->samples - 1];
    if (last == 0 || last > bytes || last > analysis::max_sample_bytes)
        return bytes;
    const ChunkPlace place = salvage_chunk_place(c);
    uint64_t from = 0, at = 0;
    place_last_run(&place, &from, &at);
    if (at < geometry->heap_offset || at > image_size)
        return bytes;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, last);
    if (!read_placed(image, &place, bytes - last, analysis::direct_read_buffer.data, last))
        return bytes;
    // the last byte the walk read: the last unit's length field
    uint64_t shown = bytes - last + codec::last_unit_at(analysis::direct_read_buffer.data, last) + 4;
    if (shown < from || shown >= bytes)
        return bytes;
    uint64_t checked = at + (shown - from);
    uint64_t edge = geometry->heap_offset + ((checked - geometry->heap_offset + cs - 1) / cs) * cs;
    uint64_t x = from + (edge - at);  // the edge's byte in the chunk
    return x < bytes ? x : bytes;
}

}  // namespace salvage
