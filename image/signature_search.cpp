// The search for "ftypXAVC", "kkad" and "moov" inside one buffer of the raw scan. The plain
// byte-by-byte loop is the definition; the vector versions look for the two-byte prefixes
// "ft", "kk" and "mo" across whole vectors and check only those rare positions in full, which
// keeps the scan as fast as the disk. The widest one the processor has is chosen at run time.
#include <cstring>

#include "image/raw_scan.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MENDORA_SCAN_X86 1
#endif

namespace image {

namespace {

// The full test of one position; `len` bounds every signature, so one cut short is passed over.
inline void check_position(const uint8_t* buf, size_t len, size_t i, uint64_t base, ScanIndex* index)
{
    size_t room = len - i;
    switch (buf[i]) {
    case 'f':
        if (room >= 8 && std::memcmp(buf + i, "ftypXAVC", 8) == 0)
            record_hit(&index->xavc_hits, base + i);
        break;
    case 'k':
        if (room >= 4 && std::memcmp(buf + i, "kkad", 4) == 0)
            record_hit(&index->kkad_hits, base + i);
        break;
    case 'm':
        if (room >= 4 && std::memcmp(buf + i, "moov", 4) == 0)
            record_hit(&index->moov_hits, base + i);
        break;
    default:
        break;
    }
}

void check_range(const uint8_t* buf, size_t len, size_t from, uint64_t base, ScanIndex* index)
{
    for (size_t i = from; i < len; i++)
        check_position(buf, len, i, base, index);
}

// Candidate bits of one vector word: bit j set when positions j, j+1 start with a known prefix.
inline void check_mask(const uint8_t* buf, size_t len, size_t at, uint32_t mask, uint64_t base,
                       ScanIndex* index)
{
    while (mask) {
        check_position(buf, len, at + static_cast<size_t>(__builtin_ctz(mask)), base, index);
        mask &= mask - 1;
    }
}

#ifdef MENDORA_SCAN_X86

// The prefixes share the high nibble 6, so one table lookup on the low nibble of each byte
// gives both the letter a prefix would start with there ('f', 'k', 'm'; 0x80, which no byte
// below 0x80 equals, elsewhere) and the letter that must follow it ('t', 'k', 'o'). A position
// is a candidate when the byte equals its first-letter entry and the next byte its follower.
#define MENDORA_FIRST_TABLE 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 'f', 0x80, 0x80, 0x80, 0x80, 'k', 0x80, 'm', 0x80, 0x80
#define MENDORA_NEXT_TABLE 0, 0, 0, 0, 0, 0, 't', 0, 0, 0, 0, 'k', 0, 'o', 0, 0

__attribute__((target("ssse3"))) void scan_ssse3(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    const __m128i first = _mm_setr_epi8(MENDORA_FIRST_TABLE);
    const __m128i next = _mm_setr_epi8(MENDORA_NEXT_TABLE);
    size_t i = 0;
    // Each step reads 17 bytes: the 16 positions and the byte after the last.
    for (; len >= 17 && i <= len - 17; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i + 1));
        __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_shuffle_epi8(first, a), a),
                                    _mm_cmpeq_epi8(_mm_shuffle_epi8(next, a), b));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(hit));
        if (mask)
            check_mask(buf, len, i, mask, base, index);
    }
    check_range(buf, len, i, base, index);
}

// The SSE2 baseline has no byte shuffle: three prefix pairs compared directly.
void scan_sse2(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    const __m128i f = _mm_set1_epi8('f'), t = _mm_set1_epi8('t');
    const __m128i k = _mm_set1_epi8('k');
    const __m128i m = _mm_set1_epi8('m'), o = _mm_set1_epi8('o');
    size_t i = 0;
    for (; len >= 17 && i <= len - 17; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i + 1));
        __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(a, f), _mm_cmpeq_epi8(b, t)),
                         _mm_and_si128(_mm_cmpeq_epi8(a, k), _mm_cmpeq_epi8(b, k))),
            _mm_and_si128(_mm_cmpeq_epi8(a, m), _mm_cmpeq_epi8(b, o)));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(hit));
        if (mask)
            check_mask(buf, len, i, mask, base, index);
    }
    check_range(buf, len, i, base, index);
}

__attribute__((target("avx2"))) inline __m256i candidates_avx2(const uint8_t* p, __m256i first, __m256i next)
{
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(first, a), a),
                            _mm256_cmpeq_epi8(_mm256_shuffle_epi8(next, a), b));
}

__attribute__((target("avx2"))) void scan_avx2(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    const __m256i first = _mm256_setr_epi8(MENDORA_FIRST_TABLE, MENDORA_FIRST_TABLE);
    const __m256i next = _mm256_setr_epi8(MENDORA_NEXT_TABLE, MENDORA_NEXT_TABLE);
    size_t i = 0;
    // Two vectors per step, tested together: candidates are rare, so the common case is one branch.
    for (; len >= 65 && i <= len - 65; i += 64) {
        __m256i h0 = candidates_avx2(buf + i, first, next);
        __m256i h1 = candidates_avx2(buf + i + 32, first, next);
        __m256i any = _mm256_or_si256(h0, h1);
        if (_mm256_testz_si256(any, any))
            continue;
        check_mask(buf, len, i, static_cast<uint32_t>(_mm256_movemask_epi8(h0)), base, index);
        check_mask(buf, len, i + 32, static_cast<uint32_t>(_mm256_movemask_epi8(h1)), base, index);
    }
    check_range(buf, len, i, base, index);
}

#endif

using SearchFn = void (*)(const uint8_t*, size_t, uint64_t, ScanIndex*);

SearchFn pick_search()
{
#ifdef MENDORA_SCAN_X86
    if (__builtin_cpu_supports("avx2"))
        return scan_avx2;
    if (__builtin_cpu_supports("ssse3"))
        return scan_ssse3;
    return scan_sse2;
#else
    return scan_buffer_plain;
#endif
}

}  // namespace

void scan_buffer_plain(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    check_range(buf, len, 0, base, index);
}

void scan_buffer(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    static const SearchFn search = pick_search();
    search(buf, len, base, index);
}

size_t search_variants(SearchVariant* out, size_t cap)
{
    size_t n = 0;
    auto add = [&](const char* name, SearchFn fn) {
        if (n < cap)
            out[n] = SearchVariant{name, fn};
        n++;
    };
    add("plain", scan_buffer_plain);
#ifdef MENDORA_SCAN_X86
    add("sse2", scan_sse2);
    if (__builtin_cpu_supports("ssse3"))
        add("ssse3", scan_ssse3);
    if (__builtin_cpu_supports("avx2"))
        add("avx2", scan_avx2);
#endif
    return n < cap ? n : cap;
}

}  // namespace image
