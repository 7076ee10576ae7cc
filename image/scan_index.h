#pragma once
// The three hit lists of the raw scan.
#include <cstdint>

#include "basics/growable.h"

namespace image {

// Image offsets, strictly increasing; room for 64 at the first append.
using OffsetList = basics::Growable<uint64_t, 64>;

struct ScanIndex {
    OffsetList xavc_hits;  // offsets of "ftypXAVC" (the f)
    OffsetList kkad_hits;  // offsets of "kkad"
    OffsetList moov_hits;  // offsets of "moov"
    // offsets of 32-byte steps where a file entry (0x85, deleted 0x05) with a sound secondary
    // count is followed by a stream extension (0xC0, deleted 0x40) and a name entry (0xC1, 0x41):
    // the entry sets a file system reader checks, found in the same pass
    OffsetList set_hits;
};

// Appends unless the offset is not above the last one, so hits in carried bytes count once.
inline void record_hit(OffsetList* list, uint64_t offset)
{
    if (list->count > 0 && offset <= list->items[list->count - 1])
        return;
    basics::list_append(list, offset);
}

void free_scan_index(ScanIndex* index);

}  // namespace image
