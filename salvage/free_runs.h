#pragma once
// Sound that lies in runs no located piece holds. Recordings written at once take their runs in
// turn, each run behind the one before it, so between two located pieces of a recording its bytes
// lie in the clusters between them that no other recording's piece holds, in order. That is
// taken only when those free clusters are exactly as many as the bytes between the two pieces
// need, no piece of the recording itself lies elsewhere among them, and every other recording's
// sound still open keeps enough free clusters of its own without them. Where the others' sound
// lies unplaced among them too, runs that repeat (two files taking turns with runs of a fixed
// length) tell which free clusters are the recording's: the located pieces around fold onto one
// period, and the recording's slots of it must hold exactly the clusters needed.
#include <cstdint>

#include "image/exfat_detect.h"
#include "salvage/cut_join.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Clusters from one of the two pieces to the other that are looked at.
constexpr uint64_t free_runs_window = 64;

// The clusters a file may take between its located pieces `lo` and `hi`: from the one that holds
// lo to the one that holds hi, those no other recording's piece takes, in image order, each with
// the file's cluster a piece of its own there shows (UINT64_MAX: none); and how many of the file's
// clusters lie from lo's to hi's.
struct RoomClusters {
    uint64_t needed;
    uint32_t count;
    uint64_t at[free_runs_window];
    uint64_t own[free_runs_window];
};
// 1 and `out` filled when the two pieces can be of one file in this order, the other recordings'
// pieces around keep the order of their files and the room holds at least the clusters needed.
int room_between(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                 JoinAnchor lo, JoinAnchor hi, RoomClusters* out);

// Notes bytes [file, file + size) of clip `clip` (kkad tag `tag`) between `lo` and `hi` in `out`.
void note_open_sound(JoinAnchor lo, JoinAnchor hi, uint64_t file, uint64_t size, uint32_t clip, uint32_t tag,
                     SoundGapList* out);

// Fills claims->threaded from claims->open and the located pieces in claims->spans.
void settle_free_runs(const image::ImageGeometry* geometry, ClaimList* claims);

// Where the settled sound of clip `clip` for bytes [file, file + size) between `lo` and `hi`
// lies: 1 and `out` filled, 0 when none is settled. Bytes settled with more in front of them (up
// to the same `hi`, `lo` in one of their clusters) are placed by those clusters too.
int threaded_place(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, JoinAnchor lo,
                   JoinAnchor hi, uint64_t file, uint64_t size, ChunkPlace* out);

// Sound that runs to the end of a recording's media data behind its last located piece `lo`, with
// no piece of it located behind: bytes [file, file + size) of clip `clip` (kkad tag `tag`). The
// one other recording written at once with it (the only one whose pieces lie in front of lo) shows,
// by the file offsets of its own located pieces, how many of the clusters between two of them are
// not its own; where the clusters no located piece takes there are exactly that many, they are the
// recording's, in order (where more are free, only runs that repeat tell which). Behind the
// other's last located piece, the rest is taken only where the runs in front repeat and put it all
// in the run of the recording's last cluster. The sound is placed when the clusters so shown reach
// its end and none of them is left over behind it. 1 and `out` filled then.
int free_runs_to_end(const image::ImageGeometry* geometry, const ClaimList* claims, uint32_t clip, uint32_t tag,
                     JoinAnchor lo, uint64_t file, uint64_t size, ChunkPlace* out);

}  // namespace salvage
