#pragma once
// The scan cache: the ScanIndex of an image kept in the working folder, keyed by the image's
// size and three 64 KiB content samples.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/scan_index.h"
#include "image/unreadable_map.h"

namespace image {

constexpr size_t cache_path_capacity = 2300;
constexpr size_t cache_tmp_path_capacity = 2340;

uint64_t image_fingerprint(std::FILE* image, uint64_t image_size);

// The same fingerprint taken from the scan's bytes as they pass, so that nothing is read for it
// after the scan: begun before the scan, given every stretch it reads in order, and at its end 1
// with the fingerprint (0 for an image too small for the samples to come apart, or a scan that
// skipped bytes).
struct FingerprintStream {
    std::FILE* image;
    uint64_t at[3];
    size_t length[3];
    int usable;
    int sample;     // the sample being fed
    size_t fed;     // of its bytes
    uint64_t hash;  // FNV-1a so far
    uint64_t before;  // before the sample's bytes: a sample the card did not give whole adds none
};
void fingerprint_stream_begin(FingerprintStream* f, std::FILE* image, uint64_t image_size);
void fingerprint_stream_take(FingerprintStream* f, uint64_t offset, const uint8_t* p, size_t n);
int fingerprint_stream_end(const FingerprintStream* f, uint64_t* fingerprint);

// "velto_xavc_scan_%016llx.bin" joined to the working folder.
void scan_cache_path(const char* work_dir, uint64_t fingerprint, char* out /* cache_path_capacity */);

// n offsets into `list`, each below image_size; 0 with the list emptied otherwise.
int read_offset_array(std::FILE* cache, OffsetList* list, uint64_t n, uint64_t image_size);

// 0 when the working folder holds no scan cache of any image, so that none needs looking up.
int scan_cache_may_exist(const char* work_dir);

// 1 and `index` filled (and the hit line printed) when a valid cache exists; a stale or damaged
// file is deleted. Silent otherwise. The stretches the scan found unreadable go into `unread`.
int scan_cache_lookup(const char* work_dir, uint64_t fingerprint, uint64_t image_size, ScanIndex* index,
                      UnreadableMap* unread = nullptr);

// Writes the cache through "<path>.tmp" and a rename; every failure is silent. Only a scan that
// read to the end of the image is kept, with the stretches it found unreadable.
void scan_cache_write(const char* work_dir, uint64_t fingerprint, uint64_t image_size, const ScanIndex* index,
                      const UnreadableMap* unread = nullptr);

}  // namespace image
