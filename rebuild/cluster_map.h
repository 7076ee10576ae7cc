#pragma once
// Audio chunk recovery: the card's cluster layout of one output file, inferred from the bytes
// whose image position is known, and the rules that place each audio chunk.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"

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
// Records that file bytes [f, f + n) came from image bytes [p, p + n); b is the clip's first
// image byte.
void cluster_map_assign(ClusterMap* map, uint64_t f, uint64_t p, uint64_t n, uint64_t b);
// Unset clusters between two set clusters that lie as far apart in the image as in the file.
void cluster_map_fill_gaps(ClusterMap* map);

// What the writer knows about one clip while it writes it.
struct ClipWriteState {
    std::FILE* image;
    uint64_t image_size;
    std::FILE* output;
    const analysis::RecoveryClip* clip;
    uint64_t header_offset;  // H
    uint64_t header_length;  // L
    uint64_t file_size;      // S
    const uint8_t* located;        // one flag per video chunk
    const uint64_t* located_at;    // image position per located video chunk
    ClusterMap map;
    uint64_t audio_written;
    uint64_t cadence;
    uint64_t final_adjacent;
    uint64_t silent;
};

// Allocates the map, records the header and every located video chunk, fills the gaps.
void build_cluster_map(ClipWriteState* state, uint64_t cluster_bytes);
// Recovers audio chunk j (1-based) into the open output file and raises the counters.
void recover_audio_chunk(ClipWriteState* state, uint64_t j);

}  // namespace rebuild
