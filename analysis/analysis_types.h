#pragma once
// The records the analysis stages hand to each other and to the clip writer.
#include <cstdint>

#include "basics/growable.h"
#include "mp4/movie_box.h"

namespace analysis {

// The camera writes twelve video frames to every chunk; recordings of any other cadence are not
// its own and are left alone.
constexpr uint32_t camera_chunk_samples = 12;
// No sample of the camera's, nor the twelve frames of one of its chunks, comes near this: a
// larger size is not the camera's.
constexpr uint64_t max_sample_bytes = 0x10000000;  // 256 MiB
// Chunks up to this size are read in one piece; larger ones sample by sample.
constexpr uint64_t whole_read_limit = 0x8000000;  // 128 MiB

struct ClipHeader {
    uint64_t header_offset;  // image offset of the ftyp box
    uint64_t ftyp_size;
    uint64_t mdat_offset;
    uint64_t mdat_size;
    uint64_t mdat_end;
    uint32_t valid;
};

struct KkadMarker {
    uint64_t marker_offset;  // image offset of the "kkad" type characters
    uint16_t sequence;
    uint32_t tag;
    uint32_t valid;
    uint32_t has_time;
    uint32_t year, month, day, hour, minute, second;
    uint64_t time_unix;
};

// A recording's date and time as its kkad boxes state it, for file names.
struct RecordingTime {
    uint32_t has_time, year, month, day, hour, minute, second;
};

struct RecordingRun {
    uint64_t start_offset;
    uint32_t has_time, year, month, day, hour, minute, second;
    uint64_t time_unix;
    uint32_t tag;
    uint64_t marker_count;
    uint32_t header_index;  // 1-based, 0 for none
};

// Runs, movies and clip headers are referred to by index into their lists, which stay alive
// (and unmoved) from stage 3 to the end of the run.
struct MoviePair {
    uint64_t run;          // index into the run list
    uint64_t movie;        // index into the movie list
    uint32_t header_index; // 1-based
};

struct ChunkPlacement {
    uint32_t mapped;
    uint32_t ambiguous;
    uint64_t kkad_offset;
    uint32_t kkad_size;
    int32_t hit_count;
    uint32_t resolved;
    uint64_t data_offset;
};

struct RecoveryClip {
    uint32_t clip_number;
    const ClipHeader* header;
    const RecordingRun* run;
    const mp4::MovieInfo* movie;
    ChunkPlacement* chunks;
    uint64_t chunk_count;
    uint64_t mapped_count;
    uint64_t resolved_count;
};

using ClipHeaderList = basics::Growable<ClipHeader, 256>;
using MarkerList = basics::Growable<KkadMarker, 16384>;
using MovieList = basics::Growable<mp4::MovieInfo, 256>;
using RunList = basics::Growable<RecordingRun, 256>;
using PairList = basics::Growable<MoviePair, 256>;
using ClipList = basics::Growable<RecoveryClip, 256>;

}  // namespace analysis
