#pragma once
// Where a file's bytes lie: its clusters as runs of consecutive clusters, from the NoFatChain run
// or from the FAT chain, checked against the cluster range, loops and the allocation bitmap.
#include <cstddef>
#include <cstdint>

#include "basics/growable.h"
#include "filesystem/fs_volume.h"

namespace filesystem {

struct ClusterRun {
    uint32_t first;
    uint32_t count;
};

struct Extent {
    basics::Growable<ClusterRun, 16> runs;
    uint64_t length;  // the file's data length
};

// Why an extent was refused.
enum ExtentVerdict : uint32_t {
    extent_ok = 0,
    extent_out_of_range,   // a cluster outside the heap
    extent_chain_broken,   // a FAT entry that is free, bad, or ends the chain too early or too late
    extent_loop,           // the chain comes back to a cluster it already holds
    extent_bitmap_conflict // a live file on a free cluster, or a deleted one on a cluster another file holds
};
const char* extent_verdict_text(uint32_t verdict);

// The extent of `length` bytes from first_cluster. `live` tells which bitmap state every cluster
// must have (allocated for a live file; free for a deleted one, whose clusters a newer file may
// have taken). Returns extent_ok with `out` filled, else the reason (out emptied).
uint32_t file_extent(const FsVolume* v, uint32_t first_cluster, uint64_t length, int no_fat_chain, int live,
                     Extent* out);

// The image offset of file offset `at`; 0 when the extent does not reach it. `span` gets the bytes
// that follow contiguously in the image (to the end of the run or the file).
int extent_image_offset(const FsVolume* v, const Extent* e, uint64_t at, uint64_t* image_offset, uint64_t* span);
// The file offset of an image offset inside the extent; 0 when the extent does not hold it.
int extent_file_offset(const FsVolume* v, const Extent* e, uint64_t image_offset, uint64_t* file_offset);
// Reads n file bytes at `at` through the extent; 1 when all arrived.
int extent_read(const FsVolume* v, const Extent* e, uint64_t at, uint8_t* buf, uint64_t n);

void free_extent(Extent* e);

}  // namespace filesystem
