#include "basics/sha256_shani.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace basics {

#if defined(__x86_64__)

int sha256_shani_available()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    // leaf 7: bit 29 of ebx is SHA; the kernel also needs SSSE3 and SSE4.1 (leaf 1, ecx bits 9 and 19)
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & (1u << 29)))
        return 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    return (c & (1u << 9)) && (c & (1u << 19));
}

// The instructions keep the eight words as ABEF and CDGH; each sha256rnds2 does two rounds, and
// sha256msg1/msg2 extend the message four words at a time.
__attribute__((target("sha,ssse3,sse4.1"))) void sha256_compress_shani(uint32_t state[8], const uint8_t* bytes,
                                                                       size_t blocks)
{
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xb1);
    __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1b);
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xf0);
    for (; blocks > 0; blocks--, bytes += 64) {
        __m128i abef_before = abef, cdgh_before = cdgh;
        __m128i w[16];
        // Unrolled, w stays in registers: kept in memory, the schedule's chain through it is longer
        // than the rounds' own and the hash runs a fifth slower.
#pragma GCC unroll 16
        for (int g = 0; g < 16; g++) {
            if (g < 4)
                w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * g)), byte_swap);
            else
                w[g] = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(w[g - 4], w[g - 3]),
                                                          _mm_alignr_epi8(w[g - 1], w[g - 2], 4)),
                                            w[g - 1]);
            __m128i msg = _mm_add_epi32(w[g], _mm_load_si128(reinterpret_cast<const __m128i*>(sha256_round_constants + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(msg, 0x0e));
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#else

int sha256_shani_available() { return 0; }
void sha256_compress_shani(uint32_t*, const uint8_t*, size_t) {}

#endif

}  // namespace basics
