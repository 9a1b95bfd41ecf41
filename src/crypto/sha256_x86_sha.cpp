#include "crypto/sha256_kernel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#include "crypto/sha256_constants.h"

// Only these functions are built for the SHA extensions; the rest of the program stays baseline
// x86-64, and the kernel is handed out only after cpuid confirms the instructions exist.
#define QUORVANE_X86_SHA __attribute__((target("sha,sse4.1")))
#define QUORVANE_X86_SHA_INLINE __attribute__((target("sha,sse4.1"), always_inline)) inline

namespace quorvane {
namespace {

using Vec = __m128i;

// The SHA instructions keep the working variables as two vectors, ABEF and CDGH (A in the top
// lane). pack and unpack convert from and to the plain word order H0..H3, H4..H7 (H0 in lane 0),
// which is also the order of message words, so a digest becomes the next message without a
// byte swap.
QUORVANE_X86_SHA_INLINE void pack(Vec abcd, Vec efgh, Vec& abef, Vec& cdgh) {
    Vec badc = _mm_shuffle_epi32(abcd, 0xB1);
    Vec hgfe = _mm_shuffle_epi32(efgh, 0x1B);
    abef = _mm_alignr_epi8(badc, hgfe, 8);
    cdgh = _mm_blend_epi16(hgfe, badc, 0xF0);
}

QUORVANE_X86_SHA_INLINE void unpack(Vec abef, Vec cdgh, Vec& abcd, Vec& efgh) {
    Vec feba = _mm_shuffle_epi32(abef, 0x1B);
    Vec dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    abcd = _mm_blend_epi16(feba, dchg, 0xF0);
    efgh = _mm_alignr_epi8(dchg, feba, 8);
}

// fourRounds runs rounds 4G..4G+3. m[G % 4] holds message words 4G..4G+3; the schedule for later
// groups is computed into the vector whose words are no longer needed.
template <int G>
QUORVANE_X86_SHA_INLINE void fourRounds(Vec& abef, Vec& cdgh, Vec (&m)[4]) {
    Vec wk = _mm_add_epi32(
        m[G % 4], _mm_load_si128(reinterpret_cast<const Vec*>(sha256RoundConstants + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    if constexpr (G >= 3 && G <= 14) {
        Vec& next = m[(G + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(m[G % 4], m[(G + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, m[G % 4]);
    }
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
    if constexpr (G >= 1 && G <= 12) {
        m[(G + 3) % 4] = _mm_sha256msg1_epu32(m[(G + 3) % 4], m[G % 4]);
    }
}

template <int... G>
QUORVANE_X86_SHA_INLINE void allRounds(Vec& abef, Vec& cdgh, Vec (&m)[4],
                                       std::integer_sequence<int, G...>) {
    (fourRounds<G>(abef, cdgh, m), ...);
}

// compressPacked is the compression function on packed state, feed-forward included.
QUORVANE_X86_SHA_INLINE void compressPacked(Vec& abef, Vec& cdgh, Vec m0, Vec m1, Vec m2, Vec m3) {
    Vec m[4] = {m0, m1, m2, m3};
    Vec abefStart = abef;
    Vec cdghStart = cdgh;
    allRounds(abef, cdgh, m, std::make_integer_sequence<int, 16>{});
    abef = _mm_add_epi32(abef, abefStart);
    cdgh = _mm_add_epi32(cdgh, cdghStart);
}

QUORVANE_X86_SHA void compress(std::uint32_t state[8], const std::uint8_t* blocks,
                               std::size_t count) {
    const Vec byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Vec abef;
    Vec cdgh;
    pack(_mm_loadu_si128(reinterpret_cast<const Vec*>(state)),
         _mm_loadu_si128(reinterpret_cast<const Vec*>(state + 4)), abef, cdgh);
    for (std::size_t block = 0; block < count; ++block, blocks += 64) {
        const Vec* in = reinterpret_cast<const Vec*>(blocks);
        compressPacked(abef, cdgh, _mm_shuffle_epi8(_mm_loadu_si128(in), byteSwap),
                       _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteSwap),
                       _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteSwap),
                       _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteSwap));
    }
    Vec abcd;
    Vec efgh;
    unpack(abef, cdgh, abcd, efgh);
    _mm_storeu_si128(reinterpret_cast<Vec*>(state), abcd);
    _mm_storeu_si128(reinterpret_cast<Vec*>(state + 4), efgh);
}

// The whole loop lives in registers: the HMAC states stay packed, each digest turns into the
// next message with four shuffles, and nothing touches memory until the count is done. That keeps
// an iteration at two back-to-back compressions, which is as fast as the dependency chain allows.
QUORVANE_X86_SHA void hmacIterate(const std::uint32_t inner[8], const std::uint32_t outer[8],
                                  std::uint32_t u[8], std::uint32_t t[8], std::uint32_t count) {
    Vec innerAbef;
    Vec innerCdgh;
    Vec outerAbef;
    Vec outerCdgh;
    pack(_mm_loadu_si128(reinterpret_cast<const Vec*>(inner)),
         _mm_loadu_si128(reinterpret_cast<const Vec*>(inner + 4)), innerAbef, innerCdgh);
    pack(_mm_loadu_si128(reinterpret_cast<const Vec*>(outer)),
         _mm_loadu_si128(reinterpret_cast<const Vec*>(outer + 4)), outerAbef, outerCdgh);
    const Vec padding = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    const Vec bitLength = _mm_set_epi32(static_cast<int>(sha256DigestBlockBits), 0, 0, 0);
    Vec u0 = _mm_loadu_si128(reinterpret_cast<const Vec*>(u));
    Vec u1 = _mm_loadu_si128(reinterpret_cast<const Vec*>(u + 4));
    Vec t0 = _mm_loadu_si128(reinterpret_cast<const Vec*>(t));
    Vec t1 = _mm_loadu_si128(reinterpret_cast<const Vec*>(t + 4));
    for (std::uint32_t n = 0; n < count; ++n) {
        Vec abef = innerAbef;
        Vec cdgh = innerCdgh;
        compressPacked(abef, cdgh, u0, u1, padding, bitLength);
        unpack(abef, cdgh, u0, u1);
        abef = outerAbef;
        cdgh = outerCdgh;
        compressPacked(abef, cdgh, u0, u1, padding, bitLength);
        unpack(abef, cdgh, u0, u1);
        t0 = _mm_xor_si128(t0, u0);
        t1 = _mm_xor_si128(t1, u1);
    }
    _mm_storeu_si128(reinterpret_cast<Vec*>(u), u0);
    _mm_storeu_si128(reinterpret_cast<Vec*>(u + 4), u1);
    _mm_storeu_si128(reinterpret_cast<Vec*>(t), t0);
    _mm_storeu_si128(reinterpret_cast<Vec*>(t + 4), t1);
}

bool cpuHasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

}  // namespace

const Sha256Kernel* sha256X86ShaKernel() {
    static constexpr Sha256Kernel kernel{"x86-sha", compress, hmacIterate};
    static const bool available = cpuHasShaExtensions();
    return available ? &kernel : nullptr;
}

}  // namespace quorvane

#else

namespace quorvane {

const Sha256Kernel* sha256X86ShaKernel() { return nullptr; }

}  // namespace quorvane

#endif
