#pragma once
// What the planner of a clip with its movie box knows while it plans: where each video chunk and
// sound chunk of the recording lies on the card, and what it keeps.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "mp4/movie_box.h"
#include "mp4/sample_tables.h"
#include "salvage/layout_join.h"
#include "salvage/salvage_plan.h"

namespace salvage {

struct MoviePlanner {
    std::FILE* image;
    uint64_t image_size;
    const image::ImageGeometry* geometry;
    const analysis::RecoveryClip* clip;
    const analysis::MarkerList* markers;
    const ClaimList* claims;
    const RefusedSamples* refused;  // samples the decode check refused: none of them is kept
    int decode_check;               // the decoder may judge between ways the structure leaves
    const mp4::MovieInfo* movie;
    const mp4::TrackTables* video;
    uint64_t chunks;
    // the media data's end as an offset in the camera's file, where the movie box follows it (a
    // header whose media data runs past the image's end is listed with it cut there); UINT64_MAX:
    // unknown
    uint64_t media_end;
    uint8_t* found;       // the whole chunk is verified at found_at
    uint64_t* found_at;   // where the chunk, or its verified leading samples, lie
    uint64_t* on_card;    // leading samples verified: all of them when found whole
    uint8_t* end_seen;    // the chunk's last sample is verified in place, so its end is known
    uint8_t* keep;        // one per video sample: it goes into the salvaged file
    int64_t* shift;       // one per video sample: how much later than the camera's order it is shown
    uint8_t* key;         // one per video sample
    ChunkPlace* cut;      // per video chunk: where its rest lies when a fragment boundary cut it
    // per video chunk: placed by counting the clusters shared with another recording, which puts
    // every byte of it, its last unit's payload too
    uint8_t* counted;
    // per video chunk: the byte where the open tail of its last sample begins, the payload behind
    // the first cluster edge past its last length field that no walk places (0: none); `cut`
    // holds the chunk's runs in front of it
    uint64_t* open_tail;
    ChunkPlace* sound_at;
    uint8_t* sound_placed;  // per sound chunk: 1 placed, placed_by_room where the runs around leave room for it
    uint64_t* sound_bytes;  // per placed sound chunk: its bytes in front of any another recording's piece holds
    uint64_t* trail_at;   // per sound chunk: the bytes from its end to the next piece, in that piece's run
    uint64_t* trail_bytes;
    AnchorList kkad;      // the recording's kkad boxes placed in the camera's file, in file order
    // sound not placed whole whose bytes in front of the first edge a boundary may fall on, or
    // behind the last, lie where the pieces around it put them: no other recording's file is there
    basics::Growable<ClaimedSpan, 16> sure;
    SoundGapList gaps;  // sound whose cut the pieces leave open, for all recordings to weigh together
    SoundGapList open;  // every sound in runs the pieces around it do not settle
    uint64_t joins;
    uint64_t part_begin;  // the samples [part_begin, part_end) may be kept: the recording, or one part of it
    uint64_t part_end;
};

// Where video chunk k lies, its rest after a cut included.
ChunkPlace video_place(const MoviePlanner* p, uint64_t k);
// The nearest chunk before (`step` -1) or after (1) chunk k that is found whole; 1 with its index.
int neighbour(const MoviePlanner* p, uint64_t k, int step, uint64_t* j);
// Bytes of the first `n` samples of chunk k.
uint64_t leading_bytes(const mp4::TrackTables* t, uint64_t k, uint64_t n);
// The movie box as a piece of the camera's file: it follows the media data. 0 when the clip
// header's media data ends in front of its own start.
int movie_anchor(const MoviePlanner* p, JoinAnchor* out);
// 1 when chunk k, found whole, is cut on the first cluster edge inside its last unit's payload,
// with that edge's byte in the chunk in `x`. The walk of its samples reads no byte there, so a
// fragment boundary on that edge leaves every sample walking whole; it is the boundary when the
// recording's next located piece behind the chunk lies in another run and either the bytes behind
// the edge are no unit's payload or no other edge is left for the boundary (edges_kept).
int tail_cut(const MoviePlanner* p, uint64_t k, uint64_t* x);
// 1 when the last unit's payload of chunk k, found whole, runs over a cluster edge and the
// recording's next located piece behind the chunk (`next`) lies in another run, so that a boundary
// may fall on that edge: `x` that edge's byte in the chunk, `intact` whether the last sample walks
// whole where the chunk was found, `checked` the image offset behind the last length field.
int tail_edge(const MoviePlanner* p, uint64_t k, uint64_t* x, JoinAnchor* next, int* intact, uint64_t* checked);
// The same for chunk k at `place`, its runs joined across fragment boundaries: the edge inside the
// last unit's payload in its last run, the next piece in another run than that.
int placed_tail_edge(const MoviePlanner* p, uint64_t k, const ChunkPlace* place, uint64_t* x, JoinAnchor* next,
                     int* intact, uint64_t* checked);

// Chunk k rejoined at its byte `x`, whose rest lies at `at`, where the sample crossing `x` begins in
// the same cluster of the camera's file as the byte in front of `x`: a cluster is never split, so
// that sample's bytes up to `x` lie where `place` puts its first byte. 1 and `place` with the run
// added when the samples from there on, of its first `samples`, pass the structure check.
int rejoin_in_cluster(const MoviePlanner* p, uint64_t k, uint64_t samples, uint64_t x, uint64_t at, ChunkPlace* place);
// Chunk k rejoined where the cluster that holds the recording's piece `next` holds the chunk's
// last bytes, which `place` lays elsewhere.
int rejoin_at_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor& next, ChunkPlace* place);
// 1 when the cluster that holds the recording's piece `next` holds chunk k's last bytes where
// `place` already lays them, and the samples from there on pass the structure check: the piece
// shows the chunk's end where its walk did not.
int tail_held_at_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor& next, const ChunkPlace* place);
// The first byte of chunk k's sound as a piece of the file, where its waveform leads back to it
// from the cluster of the nearest of the recording's pieces `next` behind it.
int sound_head_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor* next, uint64_t count, JoinAnchor* out);

// A chunk's tail and the sound behind it, settled by the cluster that holds the next chunk found
// by its samples: the tail laid elsewhere is not kept, the sound is taken from that cluster.
void settle_by_next_chunk(MoviePlanner* p, int with_sound);

}  // namespace salvage
