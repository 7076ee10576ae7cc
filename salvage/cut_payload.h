#pragma once
// Payload a chunk's walk shows no length field in: a cut may hide inside it as well as the ones a
// place has, and another recording's payload walks as well as the camera's, so such payload counts
// as the chunk's only where the structure shows where it lies.
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/chunk_place.h"
#include "salvage/cut_join.h"

namespace salvage {

// A chunk as a join search holds it: its bytes as placed so far (`bytes`, each sample's first byte
// in `starts`, the chunk's size behind them), at `file` in the camera's file, on a heap of
// `heap_clusters` clusters of `cs` bytes; per run of a place (0 the head's) how far in the file the
// located piece that placed it shows it unbroken (`run_to`, 0: none).
struct PlacedChunk {
    const image::ImageGeometry* geometry;
    uint64_t heap_clusters;
    uint64_t cs;
    uint64_t file;
    uint64_t count;
    const uint64_t* starts;
    const uint8_t* bytes;
    const JoinWindow* window;
    const uint64_t* run_to;
};

// 1 when the recording's located piece in the cluster at image offset `at` shows the file's cluster
// `u` there.
int own_piece_shows(const PlacedChunk* s, uint64_t at, uint64_t u);

// 1 when the payload the walk of the chunk's bytes up to `upto`, as `place` lays them, shows no
// length field in lies where the structure shows it: in one run; or the file's clusters between
// two length fields are exactly the ones between their image clusters that no other recording's
// piece holds (the file takes its clusters in the heap's order); or the runs on either side of one
// cut between are no longer than the file's runs are shown to be; or each cluster is shown by a
// located piece of the recording, by the located piece that placed its run, or by the count of the
// clusters around the chunk.
int payload_placed(const PlacedChunk* s, const ChunkPlace* place, uint64_t upto);

}  // namespace salvage
