#pragma once
// The sound behind a recording's last video chunk, when fragment boundaries cut it and no piece of
// the recording is located behind it: nothing anchors the runs its rest lies in. A file takes its
// clusters in the heap's order, so each of its later clusters is one that no other recording's
// piece holds, further on. The camera's sound is uncompressed PCM and runs on smoothly from one
// cluster of its file into the next: at each cluster edge of the sound the one such cluster it
// runs on into is taken, and only when the samples of every other one make a clear step there.
#include <cstdint>
#include <cstdio>

#include "image/exfat_detect.h"
#include "salvage/chunk_place.h"
#include "salvage/join_anchors.h"
#include "salvage/salvage_plan.h"
#include "salvage/sound_continuity.h"

namespace salvage {

// Clusters behind the one in hand that are weighed as the next of the file.
constexpr uint64_t last_sound_reach = 64;

// Bytes [file, file + size) of the recording of `clip` (or kkad tag `tag`), the sound that ends
// its media data, behind its last located piece `lo` (the chunk's last byte, in the cluster
// where the sound begins). The other recordings' located pieces are `claims`. 1 and `out` filled
// when every cluster edge inside the sound proves its next cluster as above, and the sound does
// not run on smoothly past its end.
int last_sound_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor lo, uint64_t file,
                           uint64_t size, PcmFormat pcm, ChunkPlace* out);

// The first byte of the sound [file, file + size) of the recording of `clip` (or kkad tag `tag`)
// whose end lies in the cluster of its located piece `hi` behind it: at each cluster edge inside
// the sound, from the last back, the one cluster in front that no other recording's piece holds
// and whose samples run on smoothly into the cluster in hand, when every other such cluster makes
// a clear step there. Where what the file holds between the sound and `hi` (the metadata in front
// of the next kkad box) reaches over a cluster edge, the cluster of the sound's last bytes is the
// one within reach whose samples stop at the sound's end and from which every edge back is proven
// so, when exactly one is. 1 and `out` (the sound's first byte as a piece of the file) filled when
// every edge proves its cluster and the bytes in front of the sound do not run on into it; with
// `sound`, that filled with where the whole sound lies.
int sound_head_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor hi, uint64_t file,
                           uint64_t size, PcmFormat pcm, JoinAnchor* out, ChunkPlace* sound = nullptr);

}  // namespace salvage
