#pragma once
// A chunk a fragment boundary cut in two. The file system gives a file its clusters in runs, so a
// boundary falls only on a cluster edge, and the rest of the chunk begins the run that holds the
// recording's next located piece, at the distance the camera's file offsets give. A join is made
// only when the structure proves it; a cut no candidate proves stays a gap.
#include <cstdint>
#include <cstdio>

#include "basics/growable.h"
#include "codec/nal_units.h"
#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "mp4/movie_box.h"
#include "mp4/sample_tables.h"
#include "salvage/chunk_place.h"
#include "salvage/cluster_count.h"
#include "salvage/join_anchors.h"
#include "salvage/runs_proven.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Anchors tried per cut. The cut lies inside the first sample that fails where the run before it
// goes on, or inside the last unit of the sample before it: each cluster edge there is a
// candidate, so two samples of S bytes together on clusters of C bytes give at most
// (S / C + 1) * (join_anchors_tried + join_reach_max + 1) candidates per cut.
constexpr uint64_t join_anchors_tried = 2;

// Runs of a few clusters leave pieces of a chunk in runs no located piece vouches for. Such a run
// is looked for among the cluster starts behind the cut, round the heap's end to its start, up to
// join_window_clusters of them (or as join_reach_max says), that no other recording's located
// piece holds (`claims`; this recording's are those of `clip` or
// `tag`). A run found so must show a sample of the chunk that walks intact (run_witness), or be
// where the layout of the files written at once puts it (layout_puts_run), and the chunk's last run
// must show one too or be where a next located piece puts it.
// With `count`, a way whose runs the count of the clusters around the chunk does not allow
// (cluster_count) is not followed.
struct JoinWindow {
    const ClaimList* claims;
    uint32_t clip;
    uint32_t tag;
    const CountedStretch* count = nullptr;
};
constexpr uint64_t join_window_clusters = 16;
// The file takes its clusters in the heap's order, going on at the heap's start past its end: the
// run behind a cut begins in front of where the recording's next located piece puts the cut, when
// that is no more than join_reach_max clusters on, or twice the clusters the chunk spans where that
// is more (two files written at once share the clusters between a chunk and the next piece); only
// those clusters are looked at then.
constexpr uint64_t join_reach_max = 64;
// A file written beside a faster one (a proxy beside its main clip) takes one cluster in many, so
// its next located piece lies that many times further on than the chunk's own clusters: the look
// behind a cut reaches as far as that piece puts the run going on up to join_spread_max times the
// reach above, and the chunk's reads grow with it.
constexpr uint64_t join_spread_max = 8;
// Candidate runs read per chunk, over all its cuts, for each join_reach_max clusters the look
// behind a cut reaches: a chunk that needs more stays a gap. A chunk of S bytes on clusters of C
// bytes so reads at most join_reads_max * max(1, 2 * (S / C + 1) / join_reach_max) runs, up to
// join_spread_max times that where a look reaches further.
constexpr uint64_t join_reads_max = 512;

// The video chunk at `file` in the camera's file, of samples `sizes`, whose first bytes lie at
// image offset `head`, joined across cluster edges to the runs that each of `anchors` (the
// recording's next located pieces behind the chunk, in file order) puts after a cut, or (with
// `window`, null: none) to runs behind the cut as JoinWindow says. 1 and `out` filled when
// exactly one way of placing the chunk's runs, at most place_cuts_max cuts and no sample cut
// twice, makes every sample intact (its delimiter first, its NAL length fields walking exactly to
// its size, its units escaped) and the sizes fill the chunk; 0 when none does, or more than one.
// `before` (0: none) is the first byte of the chunk whose place in the head run another
// recording's piece holds: the cut lies in front of it even where every sample walks whole in the
// head run.
// With `open`, a chunk no way places whole may be placed up to the open tail of its last sample:
// the bytes behind the first cluster edge past that sample's last length field, payload no walk
// shows where it lies. Exactly one way must place the rest; 1 then too, with that edge's byte of
// the chunk in `open` (0 when the chunk is placed whole) and `out` holding the runs in front of it.
// With `sure` and `window`, a chunk that several ways place is searched on for every way within the
// bounds; when the reads do not run out and every look behind a cut reaches as far as the next
// located piece allows, the bytes all the ways place alike are appended to `sure` (join_ways).
int join_video_chunk(std::FILE* src, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                     uint64_t head, const mp4::SampleSizes* sizes, codec::Syntax syntax, const JoinAnchor* anchors,
                     uint64_t anchor_count, uint64_t before, const JoinWindow* window, ChunkPlace* out,
                     uint64_t* open = nullptr, basics::Growable<ClaimedSpan, 16>* sure = nullptr);

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
