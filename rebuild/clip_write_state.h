#pragma once
// The clip writer's record of one clip, shared with the cluster map and the audio recovery.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "basics/growable.h"
#include "rebuild/cluster_map.h"

namespace rebuild {

// Bytes of one audio chunk copied from one place of the image: a chunk the cluster layout places
// comes in as many spans as the runs it lies in.
struct SoundSpan {
    uint64_t chunk;  // 0 the first
    uint64_t image_offset;
    uint64_t length;
};
using SoundSpanList = basics::Growable<SoundSpan, 16>;

// What the writer knows about one clip while it writes it.
struct ClipWriteState {
    std::FILE* image;
    uint64_t image_size;
    std::FILE* output;
    const analysis::RecoveryClip* clip;
    uint64_t header_offset;  // image offset of the clip header, the output file's first byte
    uint64_t header_length;  // clip header up to the end of the mdat box header
    uint64_t file_size;      // the whole output file, movie box included
    const uint8_t* located;        // one flag per video chunk
    const uint64_t* located_at;    // image position per located video chunk
    ClusterMap map;
    uint64_t audio_written;
    uint64_t cadence;
    uint64_t final_adjacent;
    uint64_t silent;
    uint64_t silenced_bytes;  // sound bytes the card did not give, written as silence
    // where each recovered audio chunk's first byte lies in the image, for the report; null when
    // nobody asks (and then no spans are kept either)
    uint64_t* sound_at;
    SoundSpanList sound_spans;
};

}  // namespace rebuild
