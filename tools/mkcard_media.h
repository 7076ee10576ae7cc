// Encoded video and synthesized sound for the camera's recordings.
#pragma once
#include "tools/mkcard_bytes.h"

namespace mkcard {

// How the picture is sampled: 8-bit 4:2:0 (AVC Main, HEVC Main), 10-bit 4:2:0 (High 10, Main 10) or
// 10-bit 4:2:2 as cameras record (High 4:2:2, Main 4:2:2 10).
enum class PixelFormat : uint8_t { yuv420, yuv420p10, yuv422p10 };

// What the camera records: codec, picture size and, when not 0, the target bit rate.
struct VideoFormat {
    bool hevc = false;
    uint32_t width = 256;
    uint32_t height = 144;
    uint32_t mbps = 0;            // 0: the encoder's own quality, which gives small samples
    // A camera-like stream when any of these is set: the encoder's defaults (preset, B-frame
    // pyramid) apart from these, encoded whole instead of a repeated piece.
    uint32_t bframes = 0;         // B-frames between reference frames
    uint32_t gop = 0;             // key frame interval; 0: 12, a key frame at the start of every chunk
    bool open_gop = false;        // key frames with leading pictures that refer to the group before
    bool params_out_of_band = false;  // parameter sets only in the decoder configuration record
    uint32_t rate_num = 25, rate_den = 1;  // frames a second: rate_num / rate_den
    PixelFormat pixels = PixelFormat::yuv420;
    uint32_t slices = 0;          // slices a picture is cut into; 0: the encoder's one
};

// 1 when `f` asks for more than the tidy stream of key frames at every chunk start.
int camera_like(const VideoFormat& f);

struct VideoStream {
    bool hevc = false;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<Bytes> samples;   // length-prefixed access units, each starting with its delimiter
    Bytes config;                 // avcC or hvcC box body
    // camera-like streams only (empty otherwise: no reordering, key frames found in the samples):
    std::vector<uint32_t> offsets;  // per sample, presentation minus decode time in frames
    std::vector<uint8_t> key;       // per sample, 1 for a random access point (IDR, recovery point, IRAP)
};

// Frame `i` of a recording that repeats the encoded piece `v`: every piece starts with a key frame
// and no frame refers across it, so the repeats decode in order. The engine finds a chunk by its
// sample sizes near the kkad box that describes it, so a repeat with the same sizes would pose as
// the chunk there: each repeat ends the first sample of every group with a filler unit of a length
// of its own (decoders skip filler). `frame_size` is the size `put_frame` appends.
uint64_t frame_size(const VideoStream& v, uint64_t i);
void put_frame(Bytes& b, const VideoStream& v, uint64_t i);
// Bytes [from, from + n) of what put_frame appends for frame `i`.
void copy_frame_bytes(const VideoStream& v, uint64_t i, uint64_t from, uint8_t* dst, uint64_t n);

// 1 when frame `i` holds an IDR picture (AVC) or an intra random access picture (HEVC), or in a
// camera-like stream a picture the decoder may start at (an open group's recovery point too).
int is_key_frame(const VideoStream& v, uint64_t i);

// Splits an Annex-B elementary stream into length-prefixed access units at every access unit
// delimiter and builds the decoder configuration record from the first parameter sets; 0 when the
// stream holds no delimiter or misses a parameter set.
int split_annex_b(const Bytes& es, bool hevc, VideoStream* out);

// Encodes the piece of moving test picture with noise seeded by `seed` that a recording of `frames`
// frames repeats: all of them when they are few or the stream is camera-like, else a few groups of
// 12 frames, fewer the larger the picture (the encode is cached under /tmp so repeated cards cost
// nothing); dies when ffmpeg fails.
VideoStream encode_video(const VideoFormat& format, uint32_t frames, uint32_t seed);

// What a recording's microphones heard: a steady tone (a sine per recording, the default); music
// (notes that rise and fade over each other, over a faint noise floor), nearer what a camera
// records, whose waveform is smooth but never repeats; hiss (loud white noise, where no sample
// tells anything of the next); or silence (all zero).
enum class SoundKind : uint8_t { tone, music, hiss, silence };

// How the sound's samples are stored: big-endian signed integers of `sample_bytes` (2 or 3) bytes,
// `channels` of them a frame (a camera with an XLR handle records four).
struct SoundFormat {
    uint32_t sample_bytes = 2;
    uint32_t channels = 2;
    uint32_t frame_bytes() const { return sample_bytes * channels; }
};

// Big-endian sound of `kind` at 48 kHz in `format` (16-bit stereo by default), `pcm_frames` frames long. A `dithered` tone
// carries low-level noise of its own, so that every few frames of it occur at one place of the
// recording only and a test can tell where a piece of sound came from.
Bytes make_sound(uint64_t pcm_frames, uint32_t seed, bool dithered = false, SoundKind kind = SoundKind::tone,
                 SoundFormat format = {});
// Frames [first, first + count) of that sound, format.frame_bytes() each, into `dst`.
void put_sound(uint8_t* dst, uint64_t first, uint64_t count, uint32_t seed, bool dithered,
               SoundKind kind = SoundKind::tone, SoundFormat format = {});

} // namespace mkcard
