#pragma once
// How a recording's sound samples are stored, as far as its waveform is weighed: integer PCM of
// 16 or 24 bits in either byte order, up to eight channels. The layout comes from a movie box's
// sound sample entry: the recording's own, or for one without, the card's other movie boxes.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "codec/sequence_timing.h"
#include "mp4/sound_entry.h"

namespace salvage {

// Integer samples of `bytes` bytes (2 or 3), `channels` of them (1 to pcm_channels_max) a frame.
struct PcmFormat {
    uint32_t channels;
    int big_endian;
    uint32_t bytes = 2;
};
constexpr uint32_t pcm_channels_max = 8;

// Bytes of one frame of `pcm`; 0 for a layout no judge weighs.
uint64_t pcm_frame_bytes(PcmFormat pcm);

// The bytes the judges read on either side of an edge: as many frames whatever the layout.
constexpr uint64_t pcm_window_frames = 64;
constexpr uint64_t pcm_window_max = pcm_window_frames * 3 * pcm_channels_max;
inline uint64_t pcm_window(PcmFormat pcm) { return pcm_window_frames * pcm_frame_bytes(pcm); }

// The layout of a sound track's samples by its sample entry; 0 when its samples are not 16- or
// 24-bit integer PCM of a known byte order and of at most pcm_channels_max channels.
int pcm_format_of(const mp4::SoundEntry* entry, PcmFormat* out);

// The layout of the sound of a recording whose movie box is gone, by the card's other movie boxes:
// the one every movie box with PCM sound states; the camera's 16-bit stereo, as the stream settings
// give it, when no movie box has sound; unknown (0 channels: never weighed) when two disagree or
// one's sound is of a layout no judge weighs.
PcmFormat card_sound_format(const analysis::MovieList* movies);

// The camera's sound: 48 kHz big-endian PCM, 16 or 24 bits, two or four channels.
constexpr uint32_t camera_sound_rate = 48000;

// 1 when a sound frame of `bytes` bytes is a frame of one of the camera's formats.
int camera_frame_size(uint64_t bytes);

// The camera's format whose whole frames fill `chunk_bytes` with the sound that twelve frames at
// `rate` last, to within one frame (at 1001 rates a chunk's sound is rounded to whole frames).
// The formats differ in bytes a frame, so at most one fits; 1 and `out` filled then.
int camera_format_by_rate(uint64_t chunk_bytes, codec::FrameRate rate, PcmFormat* out);

}  // namespace salvage
