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
// its size, its units escaped) and the sizes fill the chunk; 0 when none does, or more than one, or
// the one leaves payload between two length fields, which a cut breaks, where no structure shows it:
// a sample cut twice walks as well as one cut once.
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
// With `walks` too, where several ways walk and the search found them all within the bounds, at most
// join_ways_judged of them, they are appended to `walks` (it is left empty otherwise): payload
// between a sample's length fields walks anywhere, and only its decoding tells the camera's from
// another recording's.
constexpr uint64_t join_ways_judged = 16;
int join_video_chunk(std::FILE* src, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                     uint64_t head, const mp4::SampleSizes* sizes, codec::Syntax syntax, const JoinAnchor* anchors,
                     uint64_t anchor_count, uint64_t before, const JoinWindow* window, ChunkPlace* out,
                     uint64_t* open = nullptr, basics::Growable<ClaimedSpan, 16>* sure = nullptr,
                     basics::Growable<ChunkPlace, 4>* walks = nullptr);

}  // namespace salvage
