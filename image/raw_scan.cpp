// Stage [2/6]: one front-to-back pass over the image in reads of chunk_bytes. The last 512
// bytes of each read are carried to the front of the next, so a signature split between two
// reads is complete the second time; record_hit drops the ones already found in the carry.
#include "image/raw_scan.h"

#include <cstdlib>
#include <cstring>

#include "engine/report.h"
#include "platform/platform.h"

namespace image {

namespace {

constexpr size_t carry_bytes = 512;

// A read of a chunk arrives in slices that are scanned while they are still in the processor's
// cache: scanning a 64 MiB buffer after the read would fetch it from memory a second time.
constexpr size_t slice_bytes = 256 * 1024;
constexpr size_t longest_signature = 8;

// Reads up to `want` bytes behind the `carry` bytes of `buf` and scans buf[0, carry + got) for
// signatures; gives got. Consecutive scans overlap by 7 bytes, so a signature across a slice
// boundary is complete in the later one, and record_hit drops those found already.
size_t read_and_scan(std::FILE* image, uint8_t* buf, size_t carry, size_t want, uint64_t base,
                     ScanIndex* index)
{
    size_t got = 0;
    size_t scanned_to = 0;
    while (got < want) {
        size_t step = want - got < slice_bytes ? want - got : slice_bytes;
        size_t n = std::fread(buf + carry + got, 1, step, image);
        if (n == 0)
            break;
        got += n;
        size_t from = scanned_to > longest_signature - 1 ? scanned_to - (longest_signature - 1) : 0;
        scan_buffer(buf + from, carry + got - from, base + from, index);
        scanned_to = carry + got;
        if (n < step)
            break;
    }
    return got;
}

int whole_percent(uint64_t pos, uint64_t size)
{
    if (pos <= UINT64_MAX / 100)
        return static_cast<int>(pos * 100 / size);
    return static_cast<int>(pos / (size / 100));
}

}  // namespace

void raw_scan(std::FILE* image, uint64_t image_size, uint64_t chunk_bytes, int show_progress,
              ScanIndex* index)
{
    if (chunk_bytes > SIZE_MAX - carry_bytes)
        engine::fatal("out of memory allocating %zu bytes", SIZE_MAX);
    size_t chunk = static_cast<size_t>(chunk_bytes);
    uint8_t* buf = static_cast<uint8_t*>(engine::xmalloc(chunk + carry_bytes));
    platform::advise_large_buffer(buf, chunk + carry_bytes);
    if (!platform::seek_abs(image, 0))
        engine::fatal("seek failed before raw scan");
    platform::advise_sequential(image);

    size_t carry = 0;
    uint64_t pos = 0;
    int last_percent = -1;
    while (pos < image_size) {
        uint64_t left = image_size - pos;
        size_t want = left < chunk ? static_cast<size_t>(left) : chunk;
        size_t got = read_and_scan(image, buf, carry, want, pos - carry, index);
        if (got == 0)
            break;
        size_t total = carry + got;
        pos += got;
        if (show_progress) {
            int percent = whole_percent(pos, image_size);
            if (percent != last_percent && percent % 2 == 0) {
                engine::out_flush_printf("\rRaw scan %3d%%  %llu/%llu bytes", percent,
                                         static_cast<unsigned long long>(pos),
                                         static_cast<unsigned long long>(image_size));
                last_percent = percent;
            }
        }
        size_t keep = total < carry_bytes ? total : carry_bytes;
        std::memmove(buf, buf + total - keep, keep);
        carry = keep;
    }
    if (show_progress)
        engine::out_printf("\n");
    std::free(buf);
}

}  // namespace image
