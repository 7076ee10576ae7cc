#pragma once
// The last video chunk of a recording whose movie box is gone, when fragment boundaries cut it.
// No kkad box describes it, but the clip header gives where the media data ends in the camera's
// file: the chunk ends the length of its sound before that, so its size is known. Its samples are
// walked unit by unit across the cuts, each cut on a cluster edge the walk meets, the rest in a
// run behind it; the chunk is placed only when exactly one way of placing its runs makes all its
// samples intact and the last one end exactly at that size. Bytes behind a cluster edge that hold
// only the last sample's payload show nothing of their own: the sound the camera wrote behind the
// chunk, running on from the sound in front of it, tells whether they are the recording's.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "salvage/chunk_descriptions.h"
#include "salvage/cut_join.h"
#include "salvage/pcm_format.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// The recording's sound in front of the chunk (the chunk before it's), of format `pcm`, its last
// bytes in one run up to image offset `end`. The chunk's own sound goes on from it.
struct SoundInFront {
    uint64_t end;
    PcmFormat pcm;
};

// The chunk at file offset `file`, of `size` bytes, whose first bytes lie at image offset `head`.
// Runs behind a cut are looked for as JoinWindow says (`window`). 1 with the samples' sizes in
// `sizes` (camera_chunk_samples of them) and `out` filled; 0 when no way, or more than one, fits.
// A last run that holds no whole sample, only the last one's tail, shows nothing of its own: any
// recording's payload escapes alike and may end there. With `front`, such a run is the chunk's
// where the sound behind the chunk's end runs on smoothly from `front` (a run that leaves that
// unknown is not shown not to be the one); without, it is never taken.
int join_last_chunk(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                    uint64_t head, uint64_t size, int hevc, const JoinWindow* window, uint32_t* sizes, ChunkPlace* out,
                    const SoundInFront* front = nullptr);

// The recording's last chunk `c` of `chunks` where a fragment boundary cut it and no description
// reaches it: it ends `sound` bytes (its sound's length) before the media data's end in the camera's
// file. Its runs are looked for where the other recordings' pieces (`others`) leave room. A chunk is
// no longer than twice the recording's longest, so a cut chunk with more behind it is not taken for
// the last. The chunk before it ends its sound `lead` bytes (the metadata between) in front of the
// chunk: where the run of the chunk's head holds that sound's end, it tells a last run of only the
// tail of the last sample. `c` is made whole and placed when the chunk joins; else it is left as it is.
// `front_end` (0: none) is where the sound in front ends where it was placed behind the chunk before.
void join_cut_last_chunk(const RecordingScope* r, const SalvageChunkList* chunks, SalvageChunk* c, uint64_t sound,
                         uint64_t lead, const OthersPieces* others, uint64_t front_end = 0);

// The last chunk's twelfth sample when the walk could not close it: the sound the camera wrote
// behind it may read as units too. The sound has the cadence's length and ends where the media
// data ends or where the metadata holding the next chunk's kkad box begins, so the twelfth ends
// that much before either (a sound frame more or less at a 1001 rate); it is kept only when its
// units end exactly there. `to_marker` is the distance from a chunk's end to the next chunk's kkad box.
void close_last_twelfth(const RecordingScope* r, SalvageChunk* c, uint64_t sound, uint64_t to_marker,
                        const analysis::KkadMarker* markers, uint64_t count);

}  // namespace salvage
