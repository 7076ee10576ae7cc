// Encoded video and synthesized sound for the camera's recordings.
#pragma once
#include "tools/mkcard_bytes.h"

namespace mkcard {

struct VideoStream {
    bool hevc = false;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<Bytes> samples;   // length-prefixed access units, each starting with its delimiter
    Bytes config;                 // avcC or hvcC box body
};

// Splits an Annex-B elementary stream into length-prefixed access units at every access unit
// delimiter and builds the decoder configuration record from the first parameter sets; 0 when the
// stream holds no delimiter or misses a parameter set.
int split_annex_b(const Bytes& es, bool hevc, VideoStream* out);

// Encodes `frames` frames of moving test picture with noise seeded by `seed` (the encode is cached
// under /tmp so repeated cards cost nothing); dies when ffmpeg fails.
VideoStream encode_video(bool hevc, uint32_t frames, uint32_t seed);

// 16-bit big-endian stereo sine at 48 kHz, `pcm_frames` frames long.
Bytes make_sound(uint64_t pcm_frames, uint32_t seed);

} // namespace mkcard
