#pragma once
// The SHA-256 of a spooled file as the writer will leave it, taken while the scan passes its bytes,
// so that the report need not read the file back (on a card larger than memory that read would come
// from the disk again). The writer keeps the chunks it copies and zeroes the rest of the media
// data; the camera leaves zeros between its chunks and puts its kkad boxes in the metadata chunks
// the writer does not keep. So the spooled bytes are written and hashed with every kkad box zeroed
// (the writer then has nothing to zero there: a spooled file's boxes are zero, its bytes elsewhere
// the image's), and when the writer finishes the file the guess is checked against what it kept: no
// kept byte in a zeroed box, and every other byte it zeroes zero already (told by a map of where
// each 4 KiB block's bytes outside the boxes were not zero, and for the few other blocks by reading
// them before they are zeroed). Where the guess fails, the report reads the file as before.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "basics/growable.h"
#include "basics/sha256.h"
#include "image/scan_index.h"
#include "image/scan_ring.h"

namespace rebuild {

struct FileRange {
    uint64_t from, to;  // file offsets, `to` past the last byte
};

// The bytes of a block that are not zero lie in [first, last]; none when first > last.
struct BlockSpan {
    uint16_t first, last;
};

// Taken apart in two: what the scan's thread keeps (the boxes, from the index as it grows) and
// what the thread writing the spool keeps (the hash and the block map); spool_hash_take gives the
// second the boxes over each piece it is handed.
struct SpoolHash {
    // the scan's side
    int usable;         // 0 once the bytes hashed are no longer those of the file
    uint64_t header;    // image offset of file offset 0
    size_t next_hit;    // kkad hits of the index looked at so far
    uint64_t taken;     // file bytes [0, taken) handed out with their boxes
    basics::Growable<FileRange, 64> boxes;  // kkad boxes, ascending
    size_t first_open;  // the first box not wholly before `taken`
    // the writing side
    basics::Sha256 hash;  // of file bytes [0, hash.length) with the boxes zeroed
    BlockSpan* nonzero;   // per 4 KiB block of the file: where its bytes outside the boxes are not zero
    uint64_t blocks;
};

// Before the first byte of the file whose offset 0 is image offset `header`, `length` bytes long;
// `index` is the scan's, with the hits found so far.
void spool_hash_begin(SpoolHash* h, uint64_t header, uint64_t length, const image::ScanIndex* index);
void spool_hash_free(SpoolHash* h);
// The scan's side: the file's next `n` bytes are handed out, which the scan has already searched
// (`index` has every kkad hit among them, and `ring` the boxes' size fields); `over` gets the
// boxes that reach into them.
void spool_hash_take(SpoolHash* h, uint64_t n, const image::ScanIndex* index, const image::ScanRing* ring,
                     std::vector<FileRange>* over);
// The writing side: those `n` bytes, `bytes`, appended to `file` and hashed with the boxes
// spool_hash_take gave for them zeroed; 0 when the write failed.
int spool_hash_write(SpoolHash* h, std::FILE* file, const uint8_t* bytes, size_t n, const std::vector<FileRange>& over);

// 1 when the writer's file `f`, whose bytes [0, h->hash.length) are the spooled ones except that
// it kept only `kept` (ascending, not overlapping) of them and is about to zero the rest, will
// hash as `h` says. Reads only unkept bytes the map does not know as zero.
int spool_hash_holds(const SpoolHash* h, const FileRange* kept, size_t kept_count, std::FILE* f);
// 1 when a box the spool zeroed reaches into file bytes [from, to).
int spool_hash_box_within(const SpoolHash* h, uint64_t from, uint64_t to);
// 1 when the file bytes [from, to) were all zero as they were spooled, but for those of the boxes
// (ascending in h->boxes); 0 when that is not known.
int spool_hash_zero_but_boxes(const SpoolHash* h, uint64_t from, uint64_t to);

}  // namespace rebuild
