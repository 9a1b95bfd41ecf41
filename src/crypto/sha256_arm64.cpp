#include "crypto/sha256_kernel.h"
#include "os/cpu.h"

// Built where the compiler can emit the Armv8 SHA-2 instructions: always when the target already
// has them (Apple silicon), and with a per-function target attribute under GCC otherwise. Any
// other arm64 build falls back to the portable kernel.
#if defined(__aarch64__) && \
    (defined(__ARM_FEATURE_SHA2) || defined(__ARM_FEATURE_CRYPTO) || !defined(__clang__))

#include <arm_neon.h>

#include <utility>

#include "crypto/sha256_constants.h"

#if defined(__ARM_FEATURE_SHA2) || defined(__ARM_FEATURE_CRYPTO)
#define QUORVANE_ARM_SHA2
#define QUORVANE_ARM_SHA2_INLINE __attribute__((always_inline)) inline
#define QUORVANE_ARM_SHA2_BUILT_IN 1
#else
#define QUORVANE_ARM_SHA2 __attribute__((target("+crypto")))
#define QUORVANE_ARM_SHA2_INLINE __attribute__((target("+crypto"), always_inline)) inline
#define QUORVANE_ARM_SHA2_BUILT_IN 0
#endif

namespace quorvane {
namespace {

// fourRounds runs rounds 4G..4G+3. m[G % 4] holds message words 4G..4G+3 and is then replaced by
// words 4G+16..4G+19 while later groups still need them.
template <int G>
QUORVANE_ARM_SHA2_INLINE void fourRounds(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t (&m)[4]) {
    uint32x4_t wk = vaddq_u32(m[G % 4], vld1q_u32(sha256RoundConstants + 4 * G));
    if constexpr (G < 12) m[G % 4] = vsha256su0q_u32(m[G % 4], m[(G + 1) % 4]);
    uint32x4_t abcdBefore = abcd;
    abcd = vsha256hq_u32(abcd, efgh, wk);
    efgh = vsha256h2q_u32(efgh, abcdBefore, wk);
    if constexpr (G < 12) m[G % 4] = vsha256su1q_u32(m[G % 4], m[(G + 2) % 4], m[(G + 3) % 4]);
}

template <int... G>
QUORVANE_ARM_SHA2_INLINE void allRounds(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t (&m)[4],
                                        std::integer_sequence<int, G...>) {
    (fourRounds<G>(abcd, efgh, m), ...);
}

// compressVectors is the compression function, feed-forward included. The Arm instructions keep
// the state in plain word order, so a digest is directly the next message.
QUORVANE_ARM_SHA2_INLINE void compressVectors(uint32x4_t& abcd, uint32x4_t& efgh, uint32x4_t m0,
                                              uint32x4_t m1, uint32x4_t m2, uint32x4_t m3) {
    uint32x4_t m[4] = {m0, m1, m2, m3};
    uint32x4_t abcdStart = abcd;
    uint32x4_t efghStart = efgh;
    allRounds(abcd, efgh, m, std::make_integer_sequence<int, 16>{});
    abcd = vaddq_u32(abcd, abcdStart);
    efgh = vaddq_u32(efgh, efghStart);
}

QUORVANE_ARM_SHA2_INLINE uint32x4_t loadBigEndian(const std::uint8_t* p) {
    return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

QUORVANE_ARM_SHA2 void compress(std::uint32_t state[8], const std::uint8_t* blocks,
                                std::size_t count) {
    uint32x4_t abcd = vld1q_u32(state);
    uint32x4_t efgh = vld1q_u32(state + 4);
    for (std::size_t block = 0; block < count; ++block, blocks += 64) {
        compressVectors(abcd, efgh, loadBigEndian(blocks), loadBigEndian(blocks + 16),
                        loadBigEndian(blocks + 32), loadBigEndian(blocks + 48));
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}

QUORVANE_ARM_SHA2 void hmacIterate(const std::uint32_t inner[8], const std::uint32_t outer[8],
                                   std::uint32_t u[8], std::uint32_t t[8], std::uint32_t count) {
    static constexpr std::uint32_t kPadding[8] = {0x80000000, 0, 0, 0,
                                                  0,          0, 0, sha256DigestBlockBits};
    const uint32x4_t innerAbcd = vld1q_u32(inner);
    const uint32x4_t innerEfgh = vld1q_u32(inner + 4);
    const uint32x4_t outerAbcd = vld1q_u32(outer);
    const uint32x4_t outerEfgh = vld1q_u32(outer + 4);
    const uint32x4_t padding = vld1q_u32(kPadding);
    const uint32x4_t bitLength = vld1q_u32(kPadding + 4);
    uint32x4_t u0 = vld1q_u32(u);
    uint32x4_t u1 = vld1q_u32(u + 4);
    uint32x4_t t0 = vld1q_u32(t);
    uint32x4_t t1 = vld1q_u32(t + 4);
    for (std::uint32_t n = 0; n < count; ++n) {
        uint32x4_t abcd = innerAbcd;
        uint32x4_t efgh = innerEfgh;
        compressVectors(abcd, efgh, u0, u1, padding, bitLength);
        u0 = outerAbcd;
        u1 = outerEfgh;
        compressVectors(u0, u1, abcd, efgh, padding, bitLength);
        t0 = veorq_u32(t0, u0);
        t1 = veorq_u32(t1, u1);
    }
    vst1q_u32(u, u0);
    vst1q_u32(u + 4, u1);
    vst1q_u32(t, t0);
    vst1q_u32(t + 4, t1);
}

bool cpuHasSha2() {
#if QUORVANE_ARM_SHA2_BUILT_IN
    return true;
#else
    return os::armHasSha2();
#endif
}

}  // namespace

const Sha256Kernel* sha256Arm64Kernel() {
    static constexpr Sha256Kernel kernel{"arm64-sha2", compress, hmacIterate};
    static const bool available = cpuHasSha2();
    return available ? &kernel : nullptr;
}

}  // namespace quorvane

#else

namespace quorvane {

const Sha256Kernel* sha256Arm64Kernel() { return nullptr; }

}  // namespace quorvane

#endif
