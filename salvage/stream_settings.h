#pragma once
// The stream settings of a recording whose movie box is gone: taken from another movie box on
// the card whose video is the same stream (same format, same parameter sets), or else built
// from the stream itself with the camera's sound format.
#include <cstdint>

#include "analysis/analysis_types.h"
#include "codec/parameter_sets.h"
#include "mp4/sample_tables.h"

namespace salvage {

struct StreamSettings {
    uint8_t* video_entry;  // whole sample entry boxes, owned
    uint32_t video_entry_size;
    uint32_t video_timescale, video_delta;
    uint8_t* sound_entry;
    uint32_t sound_entry_size;
    uint32_t sound_timescale, sound_delta, sound_sample_size;
    uint64_t sound_chunk_bytes;  // the sound behind each video chunk; 0 when not known
    int from_sibling;
};

// The first movie box on the card whose video track has the stream's format and carries its
// parameter sets.
int settings_from_sibling(const analysis::MovieList* movies, int hevc, const codec::ParameterSets* sets, StreamSettings* out);
// When the recording carries no parameter sets of its own: the first movie box on the card of
// the stream's format (each distinct decoder configuration tried once) under whose configuration
// the recording's first samples (`sizes` of them in `samples`, from its first key frame) decode
// cleanly. Without the decode check, only a card whose movie boxes hold one configuration gives
// settings.
int settings_judged_by_decoder(const analysis::MovieList* movies, int hevc, const uint8_t* samples,
                               const mp4::SampleSizes* sizes, int decode_check, StreamSettings* out);
// Settings built from the parameter sets; `sound_chunk_bytes` (0: unknown) is the sound the
// interleave shows behind each chunk of twelve frames, which also gives the frame rate.
int settings_from_stream(int hevc, const codec::ParameterSets* sets, uint64_t sound_chunk_bytes, StreamSettings* out);
// 0 when a recording's own interleave, `sound_bytes` behind each chunk (0: unknown), shows sound
// of another format than the settings' sound entry: twelve frames of it would fill the chunk in
// frames of another size. A main clip and its proxy share their parameter sets' shape, not
// always their sound.
int sound_format_fits(const StreamSettings* s, uint64_t sound_bytes);
void free_stream_settings(StreamSettings* s);

}  // namespace salvage
