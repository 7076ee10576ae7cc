#pragma once
// Pieces of a file between two of its located pieces that lie in different runs, placed by the
// layout alone: a boundary between runs falls only on a cluster edge, and a run holds no other
// recording's located piece. Sound has no structure of its own, and payload walks anywhere, so
// such bytes are placed only where the layout leaves one choice.
#include <cstdint>

#include "basics/growable.h"
#include "image/exfat_detect.h"
#include "salvage/chunk_place.h"
#include "salvage/join_anchors.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// 1 when `image_offset` and `file` lie at the same place in a cluster: the camera's file starts
// a cluster, so a byte of it keeps its offset inside the cluster wherever its run lies.
int on_same_edge(const image::ImageGeometry* g, uint64_t image_offset, uint64_t file);

// Bytes [file, file + size) of the camera's file between two located pieces `lo` (at or before
// them) and `hi` (at or after them) that do not lie in one run. Sound has no structure of its
// own, so they are placed only when the layout leaves one choice: no cluster edge between `lo`
// and their end (all in lo's run) or between their start and `hi` (all in hi's run), or a single
// cluster edge between the two pieces, which must be the cut. 1 and `out` filled then.
int join_between(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                 uint64_t file, uint64_t size, ChunkPlace* out);

// The sound the camera wrote right behind a chunk whose last byte is `last`: bytes [file,
// file + size) of its file. In the chunk's run when no cluster edge lies between that byte and the
// sound's end, or when the recording's next located piece `next` (null: none) lies in that run
// too; else placed between the two as join_between does. 1 and `out` filled then.
int join_sound_behind(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor last,
                      const JoinAnchor* next, uint64_t file, uint64_t size, ChunkPlace* out);

// Cluster edges tried per piece placed by the other recordings' pieces.
constexpr uint64_t claim_edges_tried = 64;

// 1 with `at` the first byte of [begin, end) that a piece of a recording other than `clip`
// (or `tag`) holds.
// With `tentative` 1, the tentative pieces count too; with `inferred` 0, the inferred ones do not.
int first_foreign(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag, uint64_t* at,
                  uint32_t tentative = 0, uint32_t inferred = 1);

// Sorts the spans and notes the longest.
void sort_claims(ClaimList* claims);

// The cluster edges in (lo, hi] where the boundary between the runs of `lo` and `hi` may lie: those
// where neither run holds a piece of a recording other than `clip` (or `tag`) in `claims` (null:
// none known; an inferred piece counts for none). How many, with the first and the last of them; 0 also when the two pieces cannot
// be of one file or more than claim_edges_tried edges lie between them.
int edges_left(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
               uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t* first_left,
               uint64_t* last_left);

// The cluster edges edges_left counts, up to `max` of them in `out`; how many there are.
uint32_t edges_kept(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                    uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag, uint64_t* out,
                    uint32_t max);

// Where bytes [file, file + size) lie when the runs of `lo` and `hi` meet at file offset `cut`.
ChunkPlace placed_at_cut(JoinAnchor lo, JoinAnchor hi, uint64_t cut, uint64_t file, uint64_t size);

// Of bytes [file, file + size) of the camera's file between `lo` and `hi`, those whose place does
// not hang on where the boundary between the two runs lies, appended to `out` as pieces of `clip`:
// all of them when no cluster edge lies between `lo` and their end; with two edges or more left
// (as edges_left), those in front of the first and those behind the last. With one edge left
// that join_by_claims does not take, the bytes placed at it, as tentative pieces.
void claim_sure_between(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                        uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                        basics::Growable<ClaimedSpan, 16>* out);

// Bytes [file, file + size) of the camera's file between `lo` and `hi` in different runs, with
// several cluster edges between them, placed by what the other recordings' located pieces
// (`claims`; this recording's are those of `clip` or `tag`) leave: each edge in (lo, hi] is the
// boundary only if lo's run up to it and hi's run from it hold no other recording's piece; the
// join is made when exactly one edge is left and another recording's pieces lie right behind
// lo's run there and right before hi's run, so that both runs end at it. 1 and `out` filled then.
int join_by_claims(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                   uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                   ChunkPlace* out);

}  // namespace salvage
