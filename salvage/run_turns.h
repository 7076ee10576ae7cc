#pragma once
// Recordings written at once take the heap's clusters in turn, each file the next one free, so
// between two located pieces of a file all its bytes between them lie in the clusters between,
// in order, and the file has exactly as many clusters there as between the two in the file. Where
// the clusters no other recording's piece takes are just that many, every one of them is the
// file's: a run of payload no walk places is then known, and its ends end the other files' runs
// around it (a cut that walks on either side of a cluster edge is pinned so).
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/salvage_plan.h"

namespace salvage {
// 1 when piece `c` is of a recording other than that of `clip` (or `tag`).
int of_other(const ClaimedSpan* c, uint32_t clip, uint32_t tag);
// What the located pieces tell of the cluster at `b` for the recording of `clip` (or `tag`):
// another recording's piece, or a copy of one, takes it; a piece of its own whose file offset is
// known tells which of the file's clusters it is.
struct ClusterView {
    int taken;
    int other;     // another recording's piece, not a copy
    // another recording's piece that a wrong find would hardly be: one whose file offset is
    // known, that begins or ends its file, a kkad box, or one a cluster long at least
    int solid;
    int mine;      // a piece of its own
    uint64_t own;  // the file's cluster; UINT64_MAX: no such piece
    int clash;     // pieces of its own that disagree
};
ClusterView view_cluster(const ClaimList* claims, uint64_t b, uint64_t cs, uint32_t clip, uint32_t tag);
// Bytes of the clusters wholly inside [begin, end) that another recording's piece takes: a cluster
// holds one file's bytes, so none of them is the recording's (at most `others_clusters_max` weighed).
constexpr uint64_t others_clusters_max = 65536;
uint64_t others_bytes(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t begin, uint64_t end, uint32_t clip,
                      uint32_t tag);
// 1 when the other recordings' pieces from `reach` clusters in front of cluster `lc` to `reach`
// behind `hc` keep the order of their files: between two pieces of one recording whose file
// offsets are known, its pieces take no more clusters than its file has between the two. A piece
// found where its file has no cluster is a wrong find, and a cluster it takes may be the
// recording's own.
int others_in_order(const ClaimList* claims, uint64_t heap, uint64_t cs, uint64_t lc, uint64_t hc, uint32_t clip,
                    uint32_t tag, uint64_t reach);
// Clusters between two located pieces of a file that are counted, and rounds of counting: a
// cluster settled for one file can leave exactly the clusters another needs in a gap of its own.
constexpr uint64_t turns_window_clusters = 256;
constexpr uint32_t turns_rounds_max = 8;
// Adds to `claims` as pieces of their files the clusters between two located pieces of a file
// (their file offsets known) that counting leaves to it: those no other recording's piece takes,
// when they and the file's own pieces between are exactly as many as the file's clusters there.
// Where each file's room holds more, rooms of several files that share free clusters are counted
// together: when their free clusters are exactly as many as they need together, a cluster free in
// one of them only is that one's, and a room left with as many as it still needs takes them.
// How many clusters it added.
uint64_t settle_turns(const image::ImageGeometry* geometry, ClaimList* claims);
}  // namespace salvage
