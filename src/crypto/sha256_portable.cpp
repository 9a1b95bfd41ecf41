#include <cstring>

#include "crypto/secret_bytes.h"
#include "crypto/sha256_constants.h"
#include "crypto/sha256_kernel.h"

namespace quorvane {
namespace {

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t loadBigEndian(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

// compressWords takes the message as sixteen integer words and a caller-owned schedule, so the
// PBKDF2 loop can reuse (and wipe once) the schedule instead of leaving one per call on the stack.
void compressWords(std::uint32_t state[8], const std::uint32_t message[16], std::uint32_t w[64]) {
    for (int i = 0; i < 16; ++i) w[i] = message[i];
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                           sha256RoundConstants[i] + w[i];
        std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

void compress(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count) {
    std::uint32_t message[16];
    std::uint32_t w[64];
    for (std::size_t block = 0; block < count; ++block, blocks += 64) {
        for (int i = 0; i < 16; ++i) message[i] = loadBigEndian(blocks + 4 * i);
        compressWords(state, message, w);
    }
    wipeMemory(message, sizeof message);
    wipeMemory(w, sizeof w);
}

void hmacIterate(const std::uint32_t inner[8], const std::uint32_t outer[8], std::uint32_t u[8],
                 std::uint32_t t[8], std::uint32_t count) {
    // The message block of every iteration is the previous digest followed by fixed padding.
    std::uint32_t block[16] = {};
    block[8] = 0x80000000;
    block[15] = sha256DigestBlockBits;
    std::uint32_t state[8];
    std::uint32_t w[64];
    std::memcpy(block, u, 32);
    for (std::uint32_t n = 0; n < count; ++n) {
        std::memcpy(state, inner, sizeof state);
        compressWords(state, block, w);
        std::memcpy(block, state, sizeof state);
        std::memcpy(state, outer, sizeof state);
        compressWords(state, block, w);
        std::memcpy(block, state, sizeof state);
        for (int i = 0; i < 8; ++i) t[i] ^= state[i];
    }
    std::memcpy(u, block, 32);
    wipeMemory(block, sizeof block);
    wipeMemory(state, sizeof state);
    wipeMemory(w, sizeof w);
}

}  // namespace

const Sha256Kernel& sha256PortableKernel() {
    static constexpr Sha256Kernel kernel{"portable", compress, hmacIterate};
    return kernel;
}

}  // namespace quorvane
