#pragma once
// The card's cluster layout of one output file, inferred from the bytes whose image position
// is known.
#include <cstdint>

namespace rebuild {

constexpr int64_t cluster_unset = -1;
constexpr int64_t cluster_conflict = -2;

struct ClusterMap {
    int64_t* entries;  // image offset of each output-file cluster, or -1 / -2
    uint64_t count;
    uint64_t cluster_bytes;
};

void cluster_map_init(ClusterMap* map, uint64_t file_size, uint64_t cluster_bytes);
void cluster_map_free(ClusterMap* map);
// Records that output-file bytes [file_offset, file_offset + length) came from image bytes
// [image_offset, image_offset + length); clip_start is the image offset of the clip's header.
void cluster_map_assign(ClusterMap* map, uint64_t file_offset, uint64_t image_offset, uint64_t length,
                        uint64_t clip_start);
// Unset clusters between two set clusters that lie as far apart in the image as in the file.
void cluster_map_fill_gaps(ClusterMap* map);

struct ClipWriteState;

// Allocates the map of state->map, records the header and every located video chunk, fills the gaps.
void build_cluster_map(ClipWriteState* state, uint64_t cluster_bytes);

}  // namespace rebuild
