#pragma once
// A described chunk of a recording whose movie box is gone, cut by the runs of another recording
// written at once. Its kkad description gives its samples' sizes and its offset in the camera's
// file, as a movie box would: the recording's clip header, the chunks placed in front of it and the
// kkad box behind it are pieces of its file placed in the image, and the clusters between two of
// them are counted as for a clip with its movie box (cluster_count): the count narrows the ways the
// joiner weighs.
#include <cstdint>
#include <cstdio>

#include "basics/growable.h"
#include "codec/nal_units.h"
#include "image/exfat_detect.h"
#include "mp4/sample_tables.h"
#include "salvage/chunk_place.h"
#include "salvage/cluster_count.h"
#include "salvage/join_anchors.h"
#include "salvage/salvage_chunks.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// The recording's located pieces with their offsets in its file, and where the others' lie.
struct LostPieces {
    std::FILE* image;
    uint64_t image_size;
    const image::ImageGeometry* geometry;
    const ClaimList* claims;  // null: the others' pieces are not known, nothing is counted
    uint32_t clip, tag;
    basics::Growable<ClaimedSpan, 64> spans;
    AnchorList points;  // each piece's first and last byte, in file order
};

// Adds bytes [file, file + size) of the camera's file, lying in one run from image offset `at`.
void add_lost_piece(LostPieces* own, uint64_t file, uint64_t at, uint64_t size);
void free_lost_pieces(LostPieces* own);
// Adds the recording's clip header `header` and each chunk of `chunks` whose file offset is known,
// as far as its samples walk, run by run where it is placed.
void add_placed_chunks(LostPieces* own, const analysis::ClipHeader* header, const SalvageChunkList* chunks);

// The stretch from the recording's piece in front of bytes [file, file + size) to the one behind,
// with the heads of the samples `sizes` (the first at `file`) that show them in one cluster there
// added to `own` and (when not null) to `heads`: ready for the joiner to count its ways against. 0
// when it cannot be counted.
int lost_stretch(LostPieces* own, uint64_t file, const mp4::SampleSizes* sizes, codec::Syntax syntax,
                 basics::Growable<ClaimedSpan, 16>* heads, CountedStretch* out);

// Bytes [file, file + total of `sizes`) of the camera's file placed where the count of the clusters
// between the recording's pieces around them puts the file's clusters (one way of sharing them out
// only), every sample walking intact there: a sample longer than the runs is cut more than once,
// which no walk from one cut places. 1 and `out` filled then.
int lost_place(const LostPieces* own, uint64_t file, const mp4::SampleSizes* sizes, codec::Syntax syntax,
               ChunkPlace* out);

// The recording's last bytes [file, file + size) of the camera's file, no piece of it behind them:
// placed where the count of the clusters from its piece at or in front of `file` on to the other
// recording's located piece behind them puts them (count_place_open). 1 and `out` filled then; the
// caller walks the samples there.
int lost_place_last(const LostPieces* own, uint64_t file, uint64_t size, ChunkPlace* out);

}  // namespace salvage
