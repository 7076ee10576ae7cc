#pragma once
// The movie box written behind the media data of an output file.
#include <cstdint>

#include "mp4/movie_box.h"

namespace rebuild {

struct OutputMoov {
    uint8_t* bytes;
    uint64_t length;
    int removed_tracks;
};

// A copy of the clip's movie box without the tracks that are neither video nor sound (all kept
// with keep_metadata_track) and without a sound track whose sample entry is no sound the camera
// writes. 0 when the bytes do not start with a moov box header.
int build_output_moov(const mp4::MovieInfo* movie, int keep_metadata_track, OutputMoov* out);
// 1 when the clip's sound track goes into the output. A sound track left out is treated as if the
// camera had recorded none: its chunks are not recovered and stay zero.
int sound_track_written(const mp4::MovieInfo* movie);
// 1 when every track of a movie box has the sample tables a player needs to find its samples
// (stsd, stts, stsc, stsz, and stco or co64) and they read within their limits: the rule for
// every movie box this program writes.
int movie_tracks_complete(const uint8_t* moov, uint64_t length);
// The movie box holds no box cut short or running over its parent, every track of it parses with
// the tables a player needs, a picture format the decoder reads and a sound the camera writes, and
// every chunk of every track lies inside the media data [mdat_begin, mdat_end) (file offsets).
// `last_header` (may be null): where the last box header of its tree begins in the box.
int movie_box_whole(const mp4::MovieInfo* movie, uint64_t mdat_begin, uint64_t mdat_end,
                    uint64_t* last_header = nullptr);
void free_output_moov(OutputMoov* out);

}  // namespace rebuild
