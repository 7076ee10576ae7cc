// The camera's movie box: one movie header and a video, a sound and a timed-metadata track.
#pragma once
#include "tools/mkcard_media.h"

namespace mkcard {

enum class TrackKind { video, sound, metadata };

struct TrackDesc {
    TrackKind kind = TrackKind::video;
    uint32_t track_id = 0;
    uint32_t timescale = 0;
    uint64_t duration = 0;          // in the track's timescale
    uint64_t movie_duration = 0;    // in the movie timescale
    Bytes sample_entry;             // the whole sample entry box
    uint32_t sample_count = 0;
    uint32_t sample_delta = 0;      // every sample lasts the same
    uint32_t samples_per_chunk = 0;
    std::vector<uint32_t> chunk_samples;  // when not empty: each chunk's own count instead
    uint32_t constant_size = 0;     // 0: one size per sample in `sizes`
    std::vector<uint32_t> sizes;
    std::vector<uint64_t> chunk_offsets;
    bool co64 = false;
    uint32_t width = 0, height = 0;
    // a reordered stream: per sample its composition offset (ctts, version 0), the sync samples
    // (stss) and the edit list that starts presentation at the first presented frame
    std::vector<uint32_t> composition_offsets;  // empty: no ctts
    std::vector<uint8_t> sync;                  // empty: no stss, every sample is one
    bool edit_list = false;
    uint32_t edit_media_time = 0;               // in the track's timescale
};

// The whole `trak` box of one track.
Bytes build_trak(const TrackDesc& t);

// `moov` from the movie header fields and the given track boxes, in order.
// A `large_header` box states its size in 64 bits after the type (16-byte header).
Bytes build_moov(uint64_t creation_1904, uint32_t movie_timescale, uint64_t movie_duration,
                 uint32_t next_track_id, const std::vector<Bytes>& traks, bool large_header);

Bytes visual_sample_entry(bool hevc, uint32_t width, uint32_t height, const Bytes& config);
Bytes sound_sample_entry(SoundFormat format = {});
Bytes metadata_sample_entry();

} // namespace mkcard
