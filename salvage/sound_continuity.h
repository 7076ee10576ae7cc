#pragma once
// Sound proven by its waveform. The camera's sound is uncompressed PCM: a recording's samples run
// on smoothly from one cluster of its file into the next, while a cluster of another file (another
// recording's sound, a picture's bytes) next to one of its own makes a step at the cluster edge
// that the samples on either side never make. Where the room between two located pieces holds
// more than one way to lay a sound's clusters, the one way smooth at every cluster edge inside the
// sound is taken, and only when every other way makes a clear step somewhere. Silence, or noise
// that hides a step, leaves the sound unplaced.
#include <cstdint>
#include <cstdio>

#include "image/exfat_detect.h"
#include "salvage/chunk_place.h"
#include "salvage/free_runs.h"
#include "salvage/join_anchors.h"
#include "salvage/pcm_format.h"
#include "salvage/salvage_plan.h"

namespace salvage {

enum class Joint { smooth, step, unknown };

// 1 when no channel of the `n` bytes changes by more than rounding: silence.
int silent(const uint8_t* bytes, uint64_t n, PcmFormat pcm);

// How the samples in `bytes` (`n` of them, the first a frame's first byte) run across byte `edge`:
// smooth when the second differences of every channel across it are no larger than those on
// either side and the two sides are alike; a step when a channel's across it, or one side's, are
// many times the quieter side's; unknown otherwise, or when a side holds too few frames.
Joint judge_joint(const uint8_t* bytes, uint64_t n, uint64_t edge, PcmFormat pcm);

// Ways a sound's clusters may lie that are weighed at most: a room that leaves more places none.
// Each way walks the room's clusters once; the walk stops after sound_walk_steps_max steps.
constexpr uint32_t sound_layouts_max = 1024;
constexpr uint64_t sound_walk_steps_max = 1 << 16;

// The distinct ways the clusters of bytes [file, file + size), of a file whose cluster `lo_file`
// / cs lies at room.at[0] and whose cluster hi.file / cs at the room's last, may lie in the room,
// in order, each cluster of its own where its own pieces show it: the image offsets of the
// bytes' clusters, each way `clusters` of them.
struct SoundLayouts {
    uint32_t count;
    uint32_t clusters;
    uint64_t stepped;  // with a judge: ways left out at a clear step (counted per edge, not per way)
    uint64_t at[sound_layouts_max][place_cuts_max];
};
// What tells a way's cluster edges inside sound [sound, sound + sound_size): a way that makes a
// clear step at one is left out as soon as the walk meets it, so a room of many ways is weighed by
// those that run on smoothly or unknown.
struct EdgeJudge {
    std::FILE* image;
    uint64_t image_size;
    uint64_t cs;
    uint64_t sound;
    uint64_t sound_size;
    PcmFormat pcm;
};
// 0 when the room leaves no way, more than sound_layouts_max ways (or walk steps), or bytes cut
// more often than a place holds. With `judge`, the ways that step inside the sound are not listed.
int sound_layouts(const RoomClusters* room, uint64_t lo_file, uint64_t cs, uint64_t file, uint64_t size,
                  SoundLayouts* out, const EdgeJudge* judge = nullptr);

// Of `ways` for bytes [file, file + size) on clusters of `cs` bytes, the one that is smooth at every
// cluster edge inside sound [sound, sound + sound_size) while every other has a step at one; -1
// when none is, or more than one way leaves no step.
int proven_layout(std::FILE* image, uint64_t image_size, uint64_t cs, const SoundLayouts* ways, uint64_t file,
                  uint64_t sound, uint64_t sound_size, PcmFormat pcm);

// Of sound of `size` bytes placed at `at` (its first byte a frame's first, at file offset `file`),
// the bytes in front of the first cluster edge of its file where it makes a clear step (a cluster
// there is not its own); `size` when it makes none. Sound placed by the room the other recordings
// leave is refused where it holds bytes past such a step, wherever the audio shows it.
uint64_t smooth_bytes(std::FILE* image, uint64_t image_size, uint64_t cs, const ChunkPlace* at, uint64_t file,
                      uint64_t size, PcmFormat pcm);

// Bytes [file, file + size) between the located pieces `lo` and `hi` of the recording of `clip`
// (or `tag`), in different runs, that hold the sound [sound, sound + sound_size): placed where the
// room the other recordings' pieces (`claims`) leave holds more than one way and the waveform
// proves one, or holds one way only (every cluster of the room the file's, however many runs the
// bytes lie in) and the sound runs on smoothly across each of its cluster edges. 1 and `out`
// filled then.
int place_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                      const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor lo, JoinAnchor hi, uint64_t file,
                      uint64_t size, uint64_t sound, uint64_t sound_size, PcmFormat pcm, ChunkPlace* out);

}  // namespace salvage
