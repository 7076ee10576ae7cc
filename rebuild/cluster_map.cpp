// The card's cluster layout of one output file. The header and every located video chunk tell
// where some file clusters lie in the image; clusters between two known ones that sit exactly as
// far apart in the image as in the file were written contiguously, so the audio chunks inside
// them can be read back from there.
#include "rebuild/cluster_map.h"

#include <cstdlib>

#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "rebuild/clip_write_state.h"

namespace rebuild {

void cluster_map_init(ClusterMap* map, uint64_t file_size, uint64_t cluster_bytes)
{
    map->cluster_bytes = cluster_bytes;
    map->count = 0;
    map->entries = nullptr;
    if (cluster_bytes == 0)
        return;
    uint64_t count = file_size / cluster_bytes + (file_size % cluster_bytes ? 1 : 0) + 2;
    if (count > SIZE_MAX / sizeof(int64_t))
        basics::fatal("out of memory allocating %zu bytes", SIZE_MAX);
    map->entries = static_cast<int64_t*>(basics::xmalloc(static_cast<size_t>(count) * sizeof(int64_t)));
    for (uint64_t i = 0; i < count; i++)
        map->entries[i] = cluster_unset;
    map->count = count;
}

void cluster_map_free(ClusterMap* map)
{
    std::free(map->entries);
    map->entries = nullptr;
    map->count = 0;
}

void cluster_map_assign(ClusterMap* map, uint64_t file_offset, uint64_t image_offset, uint64_t length,
                        uint64_t clip_start)
{
    uint64_t cluster = map->cluster_bytes;
    if (cluster == 0 || length == 0)
        return;
    uint64_t first_cluster = file_offset / cluster;
    uint64_t within_cluster = file_offset % cluster;
    uint64_t image_phase = image_offset % cluster;
    uint64_t clip_phase = clip_start % cluster;
    uint64_t phase = image_phase >= clip_phase ? image_phase - clip_phase : image_phase + cluster - clip_phase;
    // The bytes must sit at the same place inside a cluster in the image as in the file.
    if (image_offset < within_cluster || within_cluster != phase)
        return;
    if (length - 1 > UINT64_MAX - file_offset)
        return;
    uint64_t last_cluster = (file_offset + length - 1) / cluster;
    if (last_cluster >= map->count || last_cluster < first_cluster)
        return;
    for (uint64_t u = first_cluster; u <= last_cluster; u++) {
        uint64_t at64 = image_offset - within_cluster + (u - first_cluster) * cluster;
        if (at64 > static_cast<uint64_t>(INT64_MAX))
            return;
        int64_t at = static_cast<int64_t>(at64);
        int64_t& entry = map->entries[u];
        if (entry == cluster_unset)
            entry = at;
        else if (entry != at)
            entry = cluster_conflict;
    }
}

void cluster_map_fill_gaps(ClusterMap* map)
{
    uint64_t cs = map->cluster_bytes;
    int have_last = 0;
    uint64_t last = 0;
    for (uint64_t i = 0; i < map->count; i++) {
        int64_t here = map->entries[i];
        if (here < 0)
            continue;
        if (have_last && last + 1 < i) {
            int64_t before = map->entries[last];
            uint64_t span = (i - last) * cs;
            if (here >= before && static_cast<uint64_t>(here - before) == span) {
                for (uint64_t u = last + 1; u < i; u++) {
                    if (map->entries[u] == cluster_unset)
                        map->entries[u] = before + static_cast<int64_t>((u - last) * cs);
                }
            }
        }
        have_last = 1;
        last = i;
    }
}

void build_cluster_map(ClipWriteState* state, uint64_t cluster_bytes)
{
    const mp4::TrackTables* video = &state->clip->movie->video;
    uint64_t clip_start = state->header_offset;
    cluster_map_init(&state->map, state->file_size, cluster_bytes);
    cluster_map_assign(&state->map, 0, clip_start, state->header_length, clip_start);
    for (uint64_t k = 0; k < video->chunk_count; k++) {
        if (state->located[k])
            cluster_map_assign(&state->map, video->chunk_offsets[k], state->located_at[k],
                               video->chunk_sizes[k], clip_start);
    }
    cluster_map_fill_gaps(&state->map);
}

}  // namespace rebuild
