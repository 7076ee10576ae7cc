#include "analysis/window_reuse.h"

#include "codec/nal_units.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define MENDORA_DELIMITER_X86 1
#endif

#include "analysis/chunk_locate.h"
#include "basics/growable.h"
#include "image/read_at.h"
#include "image/scan_ring.h"

namespace analysis {

namespace {

struct WindowReuse {
    std::FILE* image;   // null when not active
    int held;           // 1 when [start, end) is held
    int borrowed;       // held where the scan's ring has them, not in the window buffer
    int hevc;
    uint64_t start, end;
    const uint8_t* borrowed_at;  // where they lie in the ring when borrowed
    basics::Growable<uint64_t, 4096> delimiters;
};

WindowReuse reuse;

void forget_held()
{
    reuse.held = 0;
    reuse.borrowed = 0;
    reuse.delimiters.count = 0;
}

// While the scan passes, the bytes of a window usually lie in one piece of its ring: they are
// searched there instead of being copied into the window buffer.
int borrow(std::FILE* image, uint64_t start, uint64_t end)
{
    const uint8_t* at = nullptr;
    if (!image::scan_ring_lent_span(image, start, end - start, &at))
        return 0;
    reuse.borrowed_at = at;
    return 1;
}

const uint8_t* held_bytes() { return reuse.borrowed ? reuse.borrowed_at : window_read_buffer.data; }

// The held delimiters below `start` are let go.
void drop_delimiters_below(uint64_t start)
{
    uint64_t* d = reuse.delimiters.items;
    size_t n = reuse.delimiters.count;
    size_t first = size_t(std::lower_bound(d, d + n, start) - d);
    if (first > 0) {
        std::memmove(d, d + first, (n - first) * sizeof *d);
        reuse.delimiters.count = n - first;
    }
}

// Records the delimiters that begin in [from, to) of the held bytes (all five bytes held).
void find_delimiters(uint64_t from, uint64_t to)
{
    const uint8_t* buf = held_bytes();
    uint64_t limit = reuse.end - reuse.start;  // bytes held
    uint64_t stop = to - reuse.start;
    if (stop + 5 > limit)
        stop = limit >= 5 ? limit - 4 : 0;
    for (uint64_t p = next_delimiter(buf, from - reuse.start, stop, reuse.hevc); p < stop;
         p = next_delimiter(buf, p + 1, stop, reuse.hevc))
        basics::list_append(&reuse.delimiters, reuse.start + p);
}

uint64_t next_delimiter_plain(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    for (; from < stop; from++)
        if (codec::starts_with_delimiter(buf + from, hevc))
            return from;
    return stop;
}

#ifdef MENDORA_DELIMITER_X86
// The vector kernels compare the unit length and type bytes of 32 positions at once; a match of
// both is rare in coded slices, and only there are the three zero bytes looked at. A kernel looks
// at `blocks` blocks of 32 positions from p and returns the index of the first block with a
// match (its positions in *mask), or `blocks`. The block loop is a macro rather than a function,
// so each kernel's vector code stays inlined in its own target.
#define MENDORA_DELIMITER_BLOCK(found)             \
    for (size_t b = 0; b < blocks; b++, p += 32) { \
        if (uint32_t block_mask = (found)) {       \
            *mask = block_mask;                    \
            return b;                              \
        }                                          \
    }                                              \
    return blocks

inline uint32_t matches_sse2(const uint8_t* p, __m128i length_mask, __m128i type)
{
    __m128i fourth = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3)), length_mask);
    __m128i fifth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(fourth, _mm_set1_epi8(2)), _mm_cmpeq_epi8(fifth, type));
    return uint32_t(_mm_movemask_epi8(hit));
}

size_t block_sse2(const uint8_t* p, size_t blocks, int hevc, uint32_t* mask)
{
    const __m128i length_mask = _mm_set1_epi8(hevc ? char(0xFE) : char(0xFF));
    const __m128i type = _mm_set1_epi8(hevc ? 0x46 : 0x09);
    MENDORA_DELIMITER_BLOCK(matches_sse2(p, length_mask, type) | matches_sse2(p + 16, length_mask, type) << 16);
}

__attribute__((target("avx2"))) size_t block_avx2(const uint8_t* p, size_t blocks, int hevc, uint32_t* mask)
{
    const __m256i length_mask = _mm256_set1_epi8(hevc ? char(0xFE) : char(0xFF));
    const __m256i length = _mm256_set1_epi8(2);
    const __m256i type = _mm256_set1_epi8(hevc ? 0x46 : 0x09);
    MENDORA_DELIMITER_BLOCK(uint32_t(_mm256_movemask_epi8(_mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3)), length_mask),
                          length),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4)), type)))));
}

using BlockFn = size_t (*)(const uint8_t*, size_t, int, uint32_t*);

uint64_t search_with(BlockFn block, const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    while (from < stop && stop - from >= 32) {
        size_t blocks = size_t((stop - from) / 32);
        uint32_t mask = 0;
        size_t b = block(buf + from, blocks, hevc, &mask);
        if (b == blocks) {
            from += uint64_t(blocks) * 32;
            break;
        }
        uint64_t base = from + uint64_t(b) * 32;
        for (; mask; mask &= mask - 1) {
            unsigned bit = unsigned(__builtin_ctz(mask));
            if (codec::starts_with_delimiter(buf + base + bit, hevc))
                return base + bit;
        }
        from = base + 32;
    }
    return next_delimiter_plain(buf, from, stop, hevc);
}

uint64_t next_delimiter_sse2(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    return search_with(block_sse2, buf, from, stop, hevc);
}

uint64_t next_delimiter_avx2(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    return search_with(block_avx2, buf, from, stop, hevc);
}
#endif

DelimiterSearch pick_delimiter_search()
{
#ifdef MENDORA_DELIMITER_X86
    return __builtin_cpu_supports("avx2") ? next_delimiter_avx2 : next_delimiter_sse2;
#else
    return next_delimiter_plain;
#endif
}

}  // namespace

uint64_t next_delimiter(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    static const DelimiterSearch search = pick_delimiter_search();
    return search(buf, from, stop, hevc);
}

size_t delimiter_searches(DelimiterSearch* out, size_t cap)
{
    size_t n = 0;
    auto add = [&](DelimiterSearch fn) {
        if (n < cap)
            out[n++] = fn;
    };
    add(next_delimiter_plain);
#ifdef MENDORA_DELIMITER_X86
    add(next_delimiter_sse2);
    if (__builtin_cpu_supports("avx2"))
        add(next_delimiter_avx2);
#endif
    return n;
}

void begin_window_reuse(std::FILE* image)
{
    end_window_reuse();
    reuse.image = image;
}

int window_reuse_active(std::FILE* image) { return image && reuse.image == image; }

void end_window_reuse()
{
    basics::list_free(&reuse.delimiters);
    reuse = WindowReuse{};
}

int window_hold(std::FILE* image, uint64_t start, uint64_t end, int hevc)
{
    // the ring may have taken new bytes over borrowed ones since the last search
    const uint8_t* still = nullptr;
    if (reuse.borrowed && (!image::scan_ring_lent_span(image, reuse.start, reuse.end - reuse.start, &still) ||
                           still != reuse.borrowed_at))
        forget_held();
    if (reuse.held && reuse.hevc == hevc && start >= reuse.start && start <= reuse.end && end >= reuse.start) {
        if (end <= reuse.end)
            return 1;
        uint64_t old_end = reuse.end;
        if (borrow(image, start, end)) {
            drop_delimiters_below(start);
            reuse.borrowed = 1;
            reuse.start = start;
            reuse.end = end;
            find_delimiters(old_end >= start + 4 ? old_end - 4 : start, end);
            return 1;
        }
        if (reuse.borrowed) {  // the ring no longer has them in one piece: they become the buffer's
            drop_delimiters_below(start);
            grow_read_buffer(&window_read_buffer, end - start);
            std::memcpy(window_read_buffer.data, reuse.borrowed_at + (start - reuse.start), reuse.end - start);
            reuse.borrowed = 0;
            reuse.start = start;
        }
        // Bytes below the new start stay where they are until the buffer is full; then what
        // overlaps moves to the front. Moving on every search would copy the whole window each
        // time, and growing the buffer instead would copy it and touch fresh memory.
        if (end - reuse.start > window_read_buffer.capacity) {
            uint64_t keep = reuse.end - start;
            std::memmove(window_read_buffer.data, window_read_buffer.data + (start - reuse.start), keep);
            drop_delimiters_below(start);
            reuse.start = start;
        }
        grow_read_buffer(&window_read_buffer, end - reuse.start);
        if (!image::read_known(image, old_end, window_read_buffer.data + (old_end - reuse.start), end - old_end)) {
            forget_held();
            return 0;
        }
        reuse.end = end;
        // delimiters whose five bytes were cut by the old end are found now
        find_delimiters(old_end >= reuse.start + 4 ? old_end - 4 : reuse.start, end);
        return 1;
    }
    forget_held();
    if (borrow(image, start, end)) {
        reuse.borrowed = 1;
    } else {
        grow_read_buffer(&window_read_buffer, end - start);
        if (!image::read_known(image, start, window_read_buffer.data, end - start))
            return 0;
    }
    reuse.held = 1;
    reuse.hevc = hevc;
    reuse.start = start;
    reuse.end = end;
    find_delimiters(start, end);
    return 1;
}

void window_forget() { forget_held(); }

uint64_t window_held_end() { return reuse.held ? reuse.end : 0; }

const uint8_t* window_bytes_at(uint64_t offset) { return held_bytes() + (offset - reuse.start); }

const uint64_t* window_delimiters_from(uint64_t from, uint64_t* count)
{
    uint64_t* d = reuse.delimiters.items;
    size_t n = reuse.delimiters.count;
    size_t i = size_t(std::lower_bound(d, d + n, from) - d);
    *count = n - i;
    return d + i;
}

}  // namespace analysis
