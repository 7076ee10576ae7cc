// The search for "ftypXAVC", "kkad" and "moov" inside one buffer of the raw scan. The plain
// byte-by-byte loop is the definition; the vector versions look for the two-byte prefixes
// "ft", "kk" and "mo" across whole vectors and check only those rare positions in full, which
// keeps the scan as fast as the disk. The widest one the processor has is chosen at run time.
#include "image/signature_search.h"

#include <cstring>

#if defined(__x86_64__)
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

// Candidate bits of one 64-position block: bit j set when positions j, j+1 start a known prefix.
void check_mask(const uint8_t* buf, size_t len, size_t at, uint64_t mask, uint64_t base, ScanIndex* index)
{
    while (mask) {
        check_position(buf, len, at + static_cast<size_t>(__builtin_ctzll(mask)), base, index);
        mask &= mask - 1;
    }
}

// A vector kernel looks through `blocks` blocks of 64 positions (a block reads 65 bytes) and
// gives the number of the first block with a candidate, its mask in *mask, or `blocks` when
// there is none. Kernels call nothing, so no vector register has to live across a call.
using BlockKernel = size_t (*)(const uint8_t* p, size_t blocks, uint64_t* mask);

void scan_with(BlockKernel kernel, const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    size_t i = 0;
    while (len >= 65 && i <= len - 65) {
        size_t blocks = (len - 1 - i) / 64;
        uint64_t mask = 0;
        size_t b = kernel(buf + i, blocks, &mask);
        if (b == blocks) {
            i += 64 * blocks;
            continue;
        }
        check_mask(buf, len, i + 64 * b, mask, base, index);
        i += 64 * (b + 1);
    }
    check_range(buf, len, i, base, index);
}

#ifdef MENDORA_SCAN_X86

// The prefixes share the high nibble 6, so one table lookup on the low nibble of each byte
// gives both the letter a prefix would start with there ('f', 'k', 'm'; 0x80, which no byte
// below 0x80 equals, elsewhere) and the letter that must follow it ('t', 'k', 'o'). A position
// is a candidate when the byte equals its first-letter entry and the next byte its follower.
#define MENDORA_FIRST_TABLE 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 'f', 0x80, 0x80, 0x80, 0x80, 'k', 0x80, 'm', 0x80, 0x80
#define MENDORA_NEXT_TABLE 0, 0, 0, 0, 0, 0, 't', 0, 0, 0, 0, 'k', 0, 'o', 0, 0

// The block loop of every kernel: `found` is the candidate mask of the 64 positions at p. A macro
// rather than a function, so each kernel's vector code stays inlined in its own target.
#define MENDORA_FIRST_CANDIDATE_BLOCK(found)          \
    for (size_t b = 0; b < blocks; b++, p += 64) {    \
        if (uint64_t block_mask = (found)) {          \
            *mask = block_mask;                       \
            return b;                                 \
        }                                             \
    }                                                 \
    return blocks

// The SSE2 baseline has no byte shuffle: the three prefix pairs are compared directly.
inline uint64_t candidates_sse2(const uint8_t* p)
{
    const __m128i f = _mm_set1_epi8('f'), t = _mm_set1_epi8('t');
    const __m128i k = _mm_set1_epi8('k');
    const __m128i m = _mm_set1_epi8('m'), o = _mm_set1_epi8('o');
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(a, f), _mm_cmpeq_epi8(b, t)),
                                            _mm_and_si128(_mm_cmpeq_epi8(a, k), _mm_cmpeq_epi8(b, k))),
                               _mm_and_si128(_mm_cmpeq_epi8(a, m), _mm_cmpeq_epi8(b, o)));
    return static_cast<uint32_t>(_mm_movemask_epi8(hit));
}

size_t block_sse2(const uint8_t* p, size_t blocks, uint64_t* mask)
{
    MENDORA_FIRST_CANDIDATE_BLOCK(candidates_sse2(p) | candidates_sse2(p + 16) << 16 | candidates_sse2(p + 32) << 32 |
                                  candidates_sse2(p + 48) << 48);
}

__attribute__((target("ssse3"))) inline uint64_t candidates_ssse3(const uint8_t* p)
{
    const __m128i first = _mm_setr_epi8(MENDORA_FIRST_TABLE);
    const __m128i next = _mm_setr_epi8(MENDORA_NEXT_TABLE);
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_shuffle_epi8(first, a), a),
                                _mm_cmpeq_epi8(_mm_shuffle_epi8(next, a), b));
    return static_cast<uint32_t>(_mm_movemask_epi8(hit));
}

__attribute__((target("ssse3"))) size_t block_ssse3(const uint8_t* p, size_t blocks, uint64_t* mask)
{
    MENDORA_FIRST_CANDIDATE_BLOCK(candidates_ssse3(p) | candidates_ssse3(p + 16) << 16 | candidates_ssse3(p + 32) << 32 |
                                  candidates_ssse3(p + 48) << 48);
}

__attribute__((target("avx2"))) inline uint64_t candidates_avx2(const uint8_t* p, __m256i first, __m256i next)
{
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    __m256i hit = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(first, a), a),
                                   _mm256_cmpeq_epi8(_mm256_shuffle_epi8(next, a), b));
    return static_cast<uint32_t>(_mm256_movemask_epi8(hit));
}

__attribute__((target("avx2"))) size_t block_avx2(const uint8_t* p, size_t blocks, uint64_t* mask)
{
    const __m256i first = _mm256_setr_epi8(MENDORA_FIRST_TABLE, MENDORA_FIRST_TABLE);
    const __m256i next = _mm256_setr_epi8(MENDORA_NEXT_TABLE, MENDORA_NEXT_TABLE);
    MENDORA_FIRST_CANDIDATE_BLOCK(candidates_avx2(p, first, next) | candidates_avx2(p + 32, first, next) << 32);
}

void scan_sse2(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    scan_with(block_sse2, buf, len, base, index);
}

void scan_ssse3(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    scan_with(block_ssse3, buf, len, base, index);
}

void scan_avx2(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    scan_with(block_avx2, buf, len, base, index);
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

void scan_entry_sets(const uint8_t* buf, size_t len, uint64_t base, ScanIndex* index)
{
    // one test per 32 bytes, InUse (bit 7) aside: a file entry type, a stream extension and a file
    // name entry one after another, all three live or all three deleted, and a secondary count
    // that holds the stream extension and the name entries its name length needs
    size_t i = static_cast<size_t>((32 - base % 32) % 32);
    for (; i + 65 <= len; i += 32) {
        if ((buf[i] & 0x7F) != 0x05 || (buf[i + 32] & 0x7F) != 0x40 || (buf[i + 64] & 0x7F) != 0x41)
            continue;
        if (((buf[i] ^ buf[i + 32]) | (buf[i] ^ buf[i + 64])) & 0x80)
            continue;
        unsigned secondaries = buf[i + 1], name_units = buf[i + 35];
        if (secondaries > 18 || name_units == 0 || 1 + (name_units + 14) / 15 > secondaries)
            continue;
        record_hit(&index->set_hits, base + i);
    }
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
