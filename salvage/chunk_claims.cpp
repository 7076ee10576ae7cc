#include "salvage/chunk_claims.h"

#include "analysis/chunk_locate.h"
#include "codec/nal_units.h"
#include "salvage/cluster_count.h"
#include "salvage/sample_heads.h"

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

void claim_sample_heads(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                        const ClaimList* claims, uint32_t clip, uint32_t tag, const SalvageChunk* c, uint64_t bytes,
                        uint64_t next, int hevc, basics::Growable<ClaimedSpan, 256>* out)
{
    if (!c->file_known || !c->described || bytes == 0 || bytes >= c->full_bytes || c->samples == 0)
        return;
    // the samples behind the known runs: the first whose start the runs do not hold on
    uint64_t first = 0, start = 0;
    while (first < analysis::camera_chunk_samples && start < bytes)
        start += c->sizes[first++];
    if (first == analysis::camera_chunk_samples)
        return;
    const ChunkPlace place = salvage_chunk_place(c);
    uint64_t from = place_offset(&place, bytes - 1) + 1;
    if (next <= from)
        return;
    mp4::SampleSizes sizes{c->sizes + first, 0, analysis::camera_chunk_samples - first};
    basics::Growable<ClaimedSpan, 16> heads{};
    find_sample_heads(image, image_size, geometry, claims, clip, tag, from, next, c->file_offset + start, &sizes,
                      hevc ? codec::Syntax::hevc : codec::Syntax::avc, count_clusters_max, &heads);
    for (uint64_t i = 0; i < heads.count; i++)
        basics::list_append(out, heads.items[i]);
    basics::list_free(&heads);
}

}  // namespace salvage
