#pragma once
// A key frame of one unit cut twice by the runs of two recordings written at once holds payload no
// length field vouches for, and the count of the clusters around it leaves it in several ways: the
// decoder judges between them. Between two located pieces of the recording its bytes lie in at
// most three runs, the clusters between them the other recording's; each way the count allows is
// decoded, and one is taken only where exactly one of them decodes cleanly. The samples behind it
// are joined as the structure proves.
#include <cstdint>

#include "mp4/sample_tables.h"
#include "salvage/chunk_place.h"
#include "salvage/count_join.h"
#include "salvage/cut_join.h"
#include "salvage/movie_planner.h"

namespace salvage {

// Ways of placing the bytes between two located pieces: at most two cuts, so three runs. Two cuts
// between pieces whose image distance exceeds the file's by g clusters, n cluster edges apart in
// the file, give about n * n * g / 2 ways; a stretch with more than decode_ways_max is not
// counted, and a key frame that the count leaves in more than decode_trials_max ways is not
// decoded: it stays a gap until the other recording's located pieces count it closer.
constexpr uint64_t decode_cuts_max = 2;
constexpr uint64_t decode_ways_max = 16384;
constexpr uint64_t decode_trials_max = 128;

// Video chunk k of samples `sizes`, its first sample a key frame, with the recording's located
// pieces in `own` (the heads of its samples among them) and the count of the clusters around it
// in window->count: its key frame placed where exactly one way the count allows decodes cleanly
// alone, the samples behind joined from the second's head to the pieces `next` as
// join_video_chunk proves. 1 and `out` filled when the whole chunk then walks intact and decodes.
int video_by_decoding(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const OwnPieces* own,
                      const JoinWindow* window, const JoinAnchor* next, uint64_t next_count, ChunkPlace* out);

}  // namespace salvage
