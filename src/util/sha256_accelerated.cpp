// The SHA-256 block function on the processor's SHA instructions (with SSSE3 and SSE4.1). This
// file alone is compiled for them; the caller checks that the processor has them.
#include "util/sha256_hasher.h"

#include <immintrin.h>

void Sha256BlocksAccelerated(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    // The message words are big-endian.
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // The state as the instructions take it: A, B, E, F in one register and C, D, G, H in the other.
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
        for (int group = 0; group < 16; ++group) {
            __m128i words;
            if (group < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)),
                                         byteSwap);
            } else {
                // W[t] from W[t-16..t-1], four at a time.
                const __m128i& older = w[group % 4];  // W[t-16..t-13]
                const __m128i& old3 = w[(group + 1) % 4];  // W[t-12..t-9]
                const __m128i& old2 = w[(group + 2) % 4];  // W[t-8..t-5]
                const __m128i& old1 = w[(group + 3) % 4];  // W[t-4..t-1]
                words = _mm_add_epi32(_mm_sha256msg1_epu32(older, old3), _mm_alignr_epi8(old1, old2, 4));
                words = _mm_sha256msg2_epu32(words, old1);
            }
            w[group % 4] = words;
            __m128i sum = _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sum);
            sum = _mm_shuffle_epi32(sum, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, sum);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}
