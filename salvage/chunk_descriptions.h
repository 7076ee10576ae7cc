#pragma once
// What a recording's kkad boxes say about its video chunks when no movie box is there to say
// it: every description the boxes hold that could be one of the recording's chunks, located in
// the image by the sample structure at the sizes it gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "salvage/pcm_format.h"

namespace salvage {

// The camera's clock as another movie box on the card proves it: twelve-frame chunks of video at
// `video_timescale / video_delta` frames a second, the sound due by each chunk's end behind it at
// `sound_rate` samples a second of `sample_bytes` each.
struct SoundClock {
    uint64_t video_timescale, video_delta, sound_rate, sample_bytes;
};

// The recording being salvaged.
struct RecordingScope {
    std::FILE* image;
    uint64_t image_size;
    const image::ImageGeometry* geometry;  // where overwritten clusters may begin; null: unknown
    const analysis::ClipHeader* header;
    uint64_t payload;   // image offset of the media data's first byte
    uint64_t file_end;  // the media data's end as an offset in the camera's file
    int hevc;           // -1 while unknown
    const SoundClock* clock = nullptr;  // null: none proven
    PcmFormat pcm{0, 0};  // how its sound is stored; 0 channels: unknown
};

// A description found in a kkad box, with where the chunk lies once located.
struct Described {
    uint64_t file_offset;
    uint32_t sizes[analysis::camera_chunk_samples];
    uint64_t image_offset;
    uint64_t marker_offset;
    uint64_t position;  // byte position of the description in its box
    uint32_t sequence;  // the sequence number of that box
    int located;
    int credible;       // located, or at a byte position where the recording's others were found
};
using DescribedList = basics::Growable<Described, 64>;


const char* video_format(int hevc);

// Every distinct description in the boxes that fits the recording's media data, in file order.
void collect_descriptions(const RecordingScope* r, const analysis::KkadMarker* markers, uint64_t count, DescribedList* out);
// Locates the described chunks and settles the recording's format; when no chunk is located the
// first delimiter of the media data tells the format.
void locate_descriptions(RecordingScope* r, DescribedList* list);
// The distance in the camera's file from the kkad box in the metadata in front of a chunk to the
// chunk, from the recording's first box where the clip header's cluster holds it and the first
// chunk's start (at `first_file`); 0 when it does not.
uint64_t box_to_chunk(const RecordingScope* r, const analysis::KkadMarker* markers, uint64_t count,
                      uint64_t first_file);
// The distances in the camera's file from a chunk's end to the kkad box that describes it
// (`to_box`) and from that box to the next chunk (`to_chunk`), which add up to the interleave's
// distance `between`: the first as the located chunks show it, else the second as the recording's
// first box and first credible description (`first`, null: none) show it. 0 when neither does.
void box_distances(const RecordingScope* r, const analysis::KkadMarker* markers, uint64_t count,
                   const Described* const* located, size_t n, const Described* first, uint64_t between,
                   uint64_t* to_box, uint64_t* to_chunk);
// The first delimiter at or after `from` and before `to`; 1 with its position.
int find_delimiter(const RecordingScope* r, uint64_t from, uint64_t to, uint64_t* at);

// The sound and metadata between two chunks the camera wrote one after the other, from
// descriptions sorted by file offset; 0 when no two follow each other. `seen` tells how many pairs
// of chunks show that distance.
uint64_t described_between(const Described* const* sorted, size_t n, size_t* seen);
// 1 when two chunks `between` apart are described by boxes of sequence numbers that follow each
// other: no chunk of the recording lies between them, so the distance is its own interleave, not
// one that runs across a chunk whose descriptions are lost.
int between_follows(const Described* const* sorted, size_t n, uint64_t between);
// The metadata in front of the first chunk, from the first chunk's description when its bytes
// are not on the card; 0 when no description says.
uint64_t described_lead(const RecordingScope* r, const DescribedList* all, const Described* const* located, size_t n,
                        uint64_t between);

// The descriptions that are located (`located_only`), or credible and, with `damaged_only`,
// not located; in the list's order, ending with a null. The caller frees the array.
const Described** select_descriptions(const DescribedList* all, int located_only, int damaged_only);
size_t count_selected(const Described* const* selected);

// The distance from a chunk's end to the kkad box that describes it, the one most located
// chunks show (a chunk and its box in one run, or the box and the chunk behind it in the camera's
// file in one run, as `between` less the distance from the box to that chunk) when at least two
// do; 0 when none do. The box lies in the metadata in front of the next chunk, less than
// `between` (0: unknown) behind the chunk's end: a larger distance runs across another
// recording's run.
uint64_t box_distance(const Described* const* located, size_t n, uint64_t between);

}  // namespace salvage
