// Stage [2/6]: one front-to-back pass over the image in reads of chunk_bytes. The last 512
// bytes of each read are carried to the front of the next, so a signature split between two
// reads is complete the second time; record_hit drops the ones already found in the carry.
// A read error does not end the pass: the card reader gives zeros for what did not read, which
// hold no signature, and remembers where they lie.
#include "image/raw_scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "image/read_ahead.h"
#include "image/signature_search.h"
#include "platform/platform.h"

namespace image {

namespace {

constexpr size_t carry_bytes = 512;

// A read of a chunk arrives in slices that land at the front of the buffer, behind the bytes
// carried from the slice before, and are scanned while they are still in the processor's cache.
// Only the first slice's worth of the buffer is ever touched, so a 64 MiB chunk costs no more
// memory traffic than a 1 MiB one; the hits are those of scanning each whole chunk behind its
// 512 carried bytes, because record_hit drops a signature met again in the carried bytes.
constexpr size_t slice_bytes = raw_scan_slice_bytes;

ReadAhead* reading_ahead = nullptr;  // during raw_scan

// Reading ahead stops at the first failed read of the card and before any stretch known not to read.
void read_ahead_from(std::FILE* image, uint64_t pos)
{
    if (!reading_ahead)
        return;
    uint64_t until = card_failed_reads() ? pos : card_known_until(image, pos, pos + read_ahead_bytes);
    read_ahead_to(reading_ahead, pos, until);
}

// The buffer holds image bytes [*pos - *held, *pos). Reads up to `want` more bytes slice by
// slice, scanning each behind the held bytes; gives the bytes read.
size_t read_and_scan(std::FILE* image, uint8_t* buf, size_t* held, uint64_t* pos, size_t want,
                     ScanIndex* index, const ScanObserver* observer, basics::Sha256* hash)
{
    size_t got = 0;
    while (got < want) {
        size_t step = want - got < slice_bytes ? want - got : slice_bytes;
        read_ahead_from(image, *pos);
        size_t n = static_cast<size_t>(card_read(image, *pos, buf + *held, step, nullptr));
        if (n == 0)
            break;
        if (hash)
            basics::sha256_add(hash, buf + *held, n);
        size_t total = *held + n;
        scan_buffer(buf, total, *pos - *held, index);
        scan_entry_sets(buf, total, *pos - *held, index);
        if (observer && observer->ring)
            scan_ring_append(observer->ring, buf + *held, n);
        if (observer)
            observer->bytes_read(observer->context, index, buf + *held, n);
        got += n;
        *pos += n;
        size_t keep = total < carry_bytes ? total : carry_bytes;
        std::memmove(buf, buf + total - keep, keep);
        *held = keep;
        if (n < step)
            break;
    }
    return got;
}

// The same with the bytes read straight into the observer's ring, whose guard holds the carried
// bytes across its wrap: nothing is copied after the read.
size_t read_into_ring(std::FILE* image, uint64_t* pos, size_t want, ScanIndex* index, const ScanObserver* observer,
                      basics::Sha256* hash)
{
    ScanRing* ring = observer->ring;
    size_t got = 0;
    while (got < want) {
        size_t room = 0;
        uint8_t* at = scan_ring_tail(ring, &room);
        size_t step = std::min({want - got, slice_bytes, room});
        read_ahead_from(image, *pos);
        size_t n = static_cast<size_t>(card_read(image, *pos, at, step, nullptr));
        if (n == 0)
            break;
        if (hash)
            basics::sha256_add(hash, at, n);
        size_t held = ring->end < carry_bytes ? static_cast<size_t>(ring->end) : carry_bytes;
        scan_buffer(at - held, held + n, *pos - held, index);
        scan_entry_sets(at - held, held + n, *pos - held, index);
        scan_ring_commit(ring, n);
        observer->bytes_read(observer->context, index, at, n);
        got += n;
        *pos += n;
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

int raw_scan(std::FILE* image, uint64_t image_size, uint64_t chunk_bytes, int show_progress,
             ScanIndex* index, const ScanObserver* observer, basics::Sha256* hash)
{
    if (chunk_bytes > SIZE_MAX - carry_bytes)
        basics::fatal("out of memory allocating %zu bytes", SIZE_MAX);
    size_t chunk = static_cast<size_t>(chunk_bytes);
    int into_ring = observer && observer->ring && observer->ring->capacity >= scan_ring_guard &&
                    scan_ring_guard >= carry_bytes && observer->ring->end == 0;
    uint8_t* buf = into_ring ? nullptr : static_cast<uint8_t*>(basics::xmalloc(chunk + carry_bytes));
    if (!platform::seek_abs(image, 0))
        basics::fatal("seek failed before raw scan");
    platform::advise_sequential(image);
    reading_ahead = read_ahead_start(image, image_size);

    size_t held = 0;
    uint64_t pos = 0;
    int last_percent = -1;
    while (pos < image_size) {
        uint64_t left = image_size - pos;
        size_t want = left < chunk ? static_cast<size_t>(left) : chunk;
        size_t got = into_ring ? read_into_ring(image, &pos, want, index, observer, hash)
                               : read_and_scan(image, buf, &held, &pos, want, index, observer, hash);
        if (got == 0)
            break;
        if (show_progress) {
            int percent = whole_percent(pos, image_size);
            if (percent != last_percent && percent % 2 == 0) {
                basics::out_flush_printf("\rRaw scan %3d%%  %llu/%llu bytes", percent,
                                         static_cast<unsigned long long>(pos),
                                         static_cast<unsigned long long>(image_size));
                last_percent = percent;
            }
        }
    }
    read_ahead_stop(reading_ahead);
    reading_ahead = nullptr;
    if (show_progress)
        basics::out_printf("\n");
    std::free(buf);
    return pos == image_size;
}

}  // namespace image
