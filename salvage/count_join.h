#pragma once
// Chunks of a clip with its movie box placed by counting the clusters between the recording's
// located pieces, where the recording was written at once with one other (cluster_count): the
// joiner drops the ways of a cut video chunk the count rules out, and a chunk cut inside payload on
// both sides, which no walk places, is placed where every way of sharing the clusters out puts its
// clusters in one place (a main clip's sample beside a proxy's one-cluster runs is often cut more
// than once so).
#include <cstdint>

#include "mp4/sample_tables.h"
#include "salvage/chunk_place.h"
#include "salvage/cluster_count.h"
#include "salvage/movie_planner.h"

namespace salvage {

// The recording's located pieces as the planner knows them, with their offsets in its file.
struct OwnPieces {
    basics::Growable<ClaimedSpan, 64> spans;
    AnchorList points;  // each piece's first and last byte, in file order
};
void gather_own_pieces(const MoviePlanner* p, OwnPieces* out);
void free_own_pieces(OwnPieces* own);

// The recording's pieces gather_own_pieces gives, with the heads of chunk k's samples (of sizes
// `sizes`) between its located pieces around the chunk: each sample whose first bytes, up to its
// cluster's edge, show it as the camera writes it in exactly one cluster there that no other
// recording's piece holds. Those heads are added to the planner's sure pieces too, for the others
// to count by, whether the chunk is placed or not.
void chunk_own_pieces(MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, OwnPieces* own);

// The stretch around video chunk k, from the recording's piece in `own` in front of it to the one
// behind, for the joiner to count its ways against (JoinWindow::count); 0 when it cannot be
// counted.
int stretch_for_chunk(const MoviePlanner* p, uint64_t k, const OwnPieces* own, CountedStretch* out);

// Bytes [file, file + size) of the recording placed by counting between its pieces in `own` nearest
// around them; 1 and `out` filled then.
int place_by_count(const MoviePlanner* p, const OwnPieces* own, uint64_t file, uint64_t size, ChunkPlace* out);

// 1 when the samples (`sizes`) of video chunk k walk intact where `place` puts them, and with the
// video sample entry `entry`, decode cleanly there too.
int chunk_walks_at(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const ChunkPlace* place,
                   const uint8_t* entry = nullptr, uint32_t entry_size = 0);

// Video chunk k of samples `sizes` placed by counting, its samples walking intact where the count
// puts them; 1 and `out` filled then.
int video_by_count(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const OwnPieces* own,
                   ChunkPlace* out);

}  // namespace salvage
