#pragma once
// Chunk searches done while the raw scan passes the kkad boxes. A box describes the video chunks
// around it; where a description's chunk lies whole behind the header of the recording before the
// box, the search that locate_chunk would later run for it (same centre, window, sizes and NAL
// syntax) is run at once on the bytes the scan holds, and its result kept. Likewise the last chunk
// of a recording, which no box describes, is checked where it lies whole when the movie box
// behind it passes. locate_chunk takes a
// kept result only when every input of its search is the same, so the answer is the one a read of
// the image would give; the window is not read a second time.
#include <cstdint>
#include <cstdio>

#include "codec/nal_units.h"
#include "image/scan_index.h"
#include "image/scan_ring.h"
#include "mp4/sample_tables.h"

namespace analysis {

// The bytes a search may need behind and ahead of its box, and the most that a chunk searched
// during the scan may hold: the ring the scan keeps must be larger than their sum.
constexpr uint64_t scan_search_chunk_limit = 0x1000000;
constexpr uint64_t scan_search_ring_bytes = 0x3800000;

// From now on, kkad boxes that the scan passes are searched on the bytes in `ring`.
void scan_search_begin(std::FILE* image, uint64_t image_size, const image::ScanRing* ring);
// Called after every read of the scan, once the ring holds its bytes.
void scan_search_advance(const image::ScanIndex* index);
// The scan has ended: the boxes still waiting are searched with the bytes there are.
void scan_search_end(const image::ScanIndex* index);

// How far the searches have come: the centre of the last box searched (0 before the first).
uint64_t scan_search_reached();
// The last box searched that described a chunk lying whole behind the clip header at `header`;
// 0 when none did.
uint64_t scan_search_whole_until(uint64_t header);

// The kept result for this search: 1 when there is one (*found and *at filled), else 0.
int scan_search_result(uint64_t centre, uint64_t back, uint64_t forward, const mp4::SampleSizes* sizes,
                       codec::Syntax syntax, int* found, uint64_t* at);
// The kept check of a recording's last chunk where it lies whole behind its clip header, done
// when its movie box passed the scan: 1 when there is one for this position, sizes and syntax
// (*passed then holds verify_chunk_at's result), else 0.
int scan_verify_result(uint64_t offset, const mp4::SampleSizes* sizes, codec::Syntax syntax, int* passed);
// Drops every kept result (the driver's clean-up).
void scan_search_release();

}  // namespace analysis
