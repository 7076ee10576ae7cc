#pragma once
// The video chunks of a recording whose movie box is gone, found on the card: those its kkad
// boxes describe, located by their sample sizes, and those no description reaches, walked unit
// by unit where the camera's interleave puts them.
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "image/exfat_detect.h"
#include "salvage/cut_join.h"
#include "salvage/pcm_format.h"
#include "salvage/salvage_plan.h"

namespace salvage {

struct SalvageChunk {
    uint64_t image_offset;
    uint64_t file_offset;    // where the camera's file had it, when file_known
    uint32_t file_known;
    uint32_t sizes[analysis::camera_chunk_samples];
    uint32_t samples;        // whole samples whose sizes are verified: 12, fewer where the rest is not there
    uint64_t full_bytes;     // the whole chunk's bytes, also of samples not kept, when known; else 0
    uint32_t described;      // 1 when a kkad description gave the sizes
    uint32_t gap_before;     // 1 when chunks of the recording are missing right before this one
    uint32_t end_confirmed;  // 1 when the chunk's end is certain, so the sound behind it can be placed
    uint32_t open_end;       // 1 while its twelfth sample, ended where the units stopped, awaits the next chunk
    uint32_t sound_follows;  // 1 when the chunk's sound is known to lie right behind it in the image
                             // (placed_by_room: where the others' pieces leave room for it)
    uint64_t cut;            // a fragment boundary cut the chunk: its first `cut` bytes at image_offset,
    uint64_t tail;           // the rest from `tail`; 0: in one piece
    uint32_t later;          // further cuts: from byte later_cut[i] of the chunk on, it lies at later_at[i]
    uint64_t later_cut[place_cuts_max - 1];
    uint64_t later_at[place_cuts_max - 1];
    uint64_t box;            // image offset of the kkad box that describes it; 0: none known
    ChunkPlace sound;        // with sound_follows, where its sound lies, cut where fragment boundaries cut it
    uint64_t sound_bytes;    // the bytes of its sound, as far as the recording shows them; 0: not shown
    uint32_t sound_unproven; // 1 when the recording's sound varies from chunk to chunk and nothing shows this one's
    uint64_t open_tail;      // placed up to this byte, the open tail of its last sample, which no walk places; 0: none
};
using SalvageChunkList = basics::Growable<SalvageChunk, 64>;

// Where the chunk's runs lie.
ChunkPlace salvage_chunk_place(const SalvageChunk* c);
// The bytes of its samples whose sizes are verified: the chunk is walked to its end when they are
// full_bytes.
uint64_t salvage_chunk_walked(const SalvageChunk* c);
// The image offset right behind the chunk the camera wrote, kept samples or not: there its sound
// begins.
uint64_t salvage_chunk_end(const SalvageChunk* c);
// The image offset of byte `x` of the chunk, behind a cut in the rest's run.
uint64_t salvage_chunk_offset(const SalvageChunk* c, uint64_t x);
// Reads bytes [0, n) of the chunk into `out`; 0 when the card does not give them.
int read_salvage_chunk(std::FILE* image, const SalvageChunk* c, uint8_t* out, uint64_t n);

// How the camera laid the recording out around its video chunks.
struct RecordingLayout {
    int hevc;
    uint64_t payload;         // image offset of the first byte of the media data
    uint64_t between;         // bytes from the end of one video chunk to the next: sound, then metadata; 0 unknown
    uint64_t lead;            // metadata before the first video chunk; 0 unknown
    uint64_t missing_chunks;  // chunks inside the found span that are not on the card (an estimate)
};

// Where the other recordings' located pieces lie (`claims`, null: not known), for the recording
// of clip `clip` and kkad tag `tag`: sound cut at one of several cluster edges is placed where
// they leave one, or in the clusters they leave free between two pieces of the recording.
struct OthersPieces {
    const ClaimList* claims;
    uint32_t clip;
    uint32_t tag;
    SoundGapList* gaps = nullptr;  // where the sound the claims leave open is noted; null: nowhere
    SoundGapList* open = nullptr;  // where sound is noted for the clusters the claims leave free; null: nowhere
    // where the heads of the samples of a described chunk that the claims show in one cluster each
    // are noted, the chunk placed or not; null: nowhere
    basics::Growable<ClaimedSpan, 16>* heads = nullptr;
};

// The chunks of the recording that starts with `header` and whose kkad boxes are `markers`
// (`count` of them), in recording order. `between_hint` (0: none) is the camera's sound and
// metadata between two chunks as another recording on the card shows it, used when the
// recording itself shows too few chunks; `clock` (null: none) sizes the sound of chunks whose sound
// varies where nothing else does; `pcm` how the camera stores its sound (0 channels: unknown,
// never weighed). 1 when at least one chunk was found.
struct SoundClock;
int find_recording_chunks(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                          const analysis::ClipHeader* header, const analysis::KkadMarker* markers,
                          uint64_t count, uint64_t between_hint, const SoundClock* clock, PcmFormat pcm,
                          const OthersPieces* others,
                          SalvageChunkList* out, RecordingLayout* layout);

}  // namespace salvage
