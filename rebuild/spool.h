#pragma once
// Recordings written out while the raw scan passes them. From the clip header on, the image bytes
// of a recording's media data go into a file in the output folder at the offset they have in the
// camera's file (the image offset less the header's), under a temporary name. Where the writer
// later copies a chunk from exactly that place, the bytes are already in the file and the copy is
// left out; it copies the rest from the image as usual, and before the movie box zeroes every
// byte it did not write, so the file comes out as a file written from zero. A recording that does
// not lie whole (no kkad box describes a chunk lying behind its header) stops being spooled.
// A second thread writes the spooled bytes and hashes them (spool_hash) while the scan reads on.
#include <cstdint>
#include <cstdio>

#include "basics/sha256.h"
#include "image/scan_index.h"
#include "image/scan_ring.h"

namespace rebuild {

// From now on, the scan's bytes in `ring` go into spool files in `output_dir`; with `hash`, the
// files are hashed as they are written (spool_head_hash), else nobody asks for their hashes.
void spool_begin(std::FILE* image, uint64_t image_size, const image::ScanRing* ring, const char* output_dir,
                 int hash);
// Called after every read of the scan, once the ring holds its bytes and the searches are done.
void spool_advance(const image::ScanIndex* index);
// The scan has ended: every spool file is closed, holding what it got.
void spool_end();
// Deletes every spool file no writer took (after the queue, and at the end of the run).
void spool_remove_all();

// The spool file of the clip whose header is at `header_offset`, moved to `temp_path`, open for
// reading and writing and sized to `size`; from now on the copies into it leave out what is in
// place. Null when there is none or it cannot be used (the writer creates its file as usual), or
// when its size cannot be set: then *failed is 1, the failure line is printed and the file is gone.
std::FILE* spool_adopt(uint64_t header_offset, const char* temp_path, uint64_t size, int clip_number, int* failed);
// 1 when the `length` bytes the writer would copy from image offset `src_offset` to file offset
// `dst_offset` of `dst` already lie there.
int spool_in_place(std::FILE* dst, uint64_t src_offset, uint64_t dst_offset, uint64_t length);
// A copy into `dst` at `dst_offset`: `ok` when it arrived, `wrote` when bytes were written (not
// left in place).
void spool_note(std::FILE* dst, uint64_t dst_offset, uint64_t length, int wrote, int ok);
// Zeroes every spooled byte of `dst` that no copy kept; 1 when the writes succeeded (and for a
// file that was not spooled).
int spool_zero_unwritten(std::FILE* dst);
// After spool_zero_unwritten: 1 with the hash of the adopted file's first `out->length` bytes as
// they now are, when the hash taken while they were spooled holds for them.
int spool_head_hash(basics::Sha256* out);
// The writer is done with the adopted file.
void spool_release();

}  // namespace rebuild
