#pragma once
// Two recordings written at once take every cluster between two located pieces of one of them:
// each cluster there is the one's or the other's, and each file takes its clusters in the heap's
// order. So between two located pieces of a file whose offsets in the file are known, exactly as
// many of the clusters are its own as its file has between the two; the rest are the other's,
// which its own located pieces count the same way. Where every way of sharing the clusters out so
// puts one of the file's clusters in one place, that is where it lies: payload no walk places is
// placed so, however often a boundary between the two files' runs cuts it. A third file written
// beside them may hold a cluster none of the pieces shows (count_thirds): there no count of the two
// tells whose it is, and it may be neither's.
#include <cstdint>
#include <vector>

#include "image/exfat_detect.h"
#include "salvage/chunk_place.h"
#include "salvage/join_anchors.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// What the located pieces show of one cluster of a stretch.
enum CountOwner : uint8_t { count_unknown = 0, count_own = 1, count_other = 2 };
struct CountedCluster {
    uint8_t owner;  // CountOwner
    uint64_t file;  // the owner's cluster in its file (0 the first), UINT64_MAX: not shown
    // 1: a third recording may hold it (count_thirds), where no piece shows it the one's or the other's
    uint8_t third = 0;
};

// Clusters a stretch may span, and the ways of counting (the clusters of each file since its last
// located piece) kept per cluster: a stretch that needs more is not settled. One count so costs at
// most count_clusters_max * count_states_max steps, with no read of the card; the joiner counts
// once per run it reads behind a cut, which join_reads_max bounds per chunk.
constexpr uint64_t count_clusters_max = 1024;
constexpr uint64_t count_states_max = 2048;

// The stretch `known[0..n)` of the heap's clusters. A file has no cluster in front of its cluster
// 0, and behind its last located piece the count says nothing. 1 when the clusters can be shared out
// between the two files (and a third where one may lie) as their located pieces count, `own_file[i]`
// then the recording's file cluster that every such way puts at cluster i (UINT64_MAX where the ways
// differ, put another file's there, or no count shows where in its file it is); 0 when no way fits;
// -1 when the stretch is longer than count_clusters_max or the ways of counting it outgrow
// count_states_max.
int count_stretch(const CountedCluster* known, uint64_t n, uint64_t* own_file);

// The stretch from a located piece `lo` of a recording to a later one `hi`, with what the located
// pieces show of each cluster (count_place weighs them), ready for ways of placing the recording's
// bytes between to be counted against it.
struct CountedStretch {
    const image::ImageGeometry* geometry = nullptr;
    uint64_t first = 0;  // the heap's cluster of lo
    std::vector<CountedCluster> known;
    uint32_t clip = 0, tag = 0;
};
// 1 and `out` filled when the stretch can be counted: no longer than count_clusters_max, no third
// recording's pieces or bytes two recordings took in it, its pieces not contradicting each other,
// and the other recording's pieces among them.
int count_prepare(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                  const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, CountedStretch* out);
// The stretch counted with `way` (the recording's bytes as a way of placing them puts them, with
// their file offsets) among its pieces: 1 when its clusters can be shared out so, 0 when they
// cannot, -1 when the count outgrows its bounds.
int count_fits_with(const CountedStretch* stretch, const ClaimedSpan* way, uint64_t way_count);
// The recording's file cluster every way of sharing the stretch's clusters out puts at each of its
// clusters with `way` among its pieces (count_stretch's own_file, from the stretch's first cluster
// on): 1 and `own_file` filled when some way fits.
int count_own_files(const CountedStretch* stretch, const ClaimedSpan* way, uint64_t way_count,
                    std::vector<uint64_t>* own_file);

// Bytes [file, file + size) of the camera's file of the recording of `clip` (or `tag`) between its
// located pieces `lo` and `hi`, placed by counting the clusters between the two: the recording's
// located pieces in `claims` and `own` (its planner's, with their file offsets) and those of the
// one other recording whose pieces lie there count them. Pieces of a third recording there, or
// bytes two recordings took, leave the stretch unsettled; a cluster a third may hold is either
// file's or neither's. 1 and `out` filled when every way of
// sharing the clusters out puts each cluster of the bytes in one place.
int count_place(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, JoinAnchor hi, uint64_t file,
                uint64_t size, ChunkPlace* out);
// The same where no located piece of the recording lies behind the bytes (the last of its file):
// the stretch from `lo` runs on to a located piece of the other recording behind them, and every
// cluster between that the other's pieces do not take by their count is the recording's, in the
// heap's order.
int count_place_open(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                     const ClaimedSpan* own, uint64_t own_count, JoinAnchor lo, uint64_t file, uint64_t size,
                     ChunkPlace* out);

}  // namespace salvage
