#include "crypto/pbkdf2.h"

#include <algorithm>
#include <cstring>

#include "crypto/sha256_constants.h"
#include "crypto/sha256_stream.h"

namespace quorvane {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kDigestSize = 32;

// prepareKey compresses the key block XOR ipad and XOR opad once; every HMAC of the derivation
// then resumes from these two states instead of hashing the key again.
void prepareKey(const Sha256Kernel& kernel, std::span<const std::uint8_t> password,
                std::uint32_t inner[8], std::uint32_t outer[8]) {
    std::uint8_t block[kBlockSize] = {};
    if (password.size() > kBlockSize) {
        std::uint32_t digest[8];
        Sha256Stream stream(kernel, sha256InitialState, 0);
        stream.update(password);
        stream.finish(digest);
        storeSha256Words(digest, block);
        wipeMemory(digest, sizeof digest);
    } else if (!password.empty()) {
        std::memcpy(block, password.data(), password.size());
    }
    for (std::uint8_t& byte : block) byte ^= 0x36;
    std::memcpy(inner, sha256InitialState, sizeof sha256InitialState);
    kernel.compress(inner, block, 1);
    for (std::uint8_t& byte : block) byte ^= 0x36 ^ 0x5c;
    std::memcpy(outer, sha256InitialState, sizeof sha256InitialState);
    kernel.compress(outer, block, 1);
    wipeMemory(block, sizeof block);
}

// firstIteration computes U1 = HMAC(password, salt || INT(index)).
void firstIteration(const Sha256Kernel& kernel, const std::uint32_t inner[8],
                    const std::uint32_t outer[8], std::span<const std::uint8_t> salt,
                    std::uint32_t index, std::uint32_t u[8]) {
    const std::uint8_t counter[4] = {
        static_cast<std::uint8_t>(index >> 24), static_cast<std::uint8_t>(index >> 16),
        static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)};
    {
        Sha256Stream stream(kernel, inner, kBlockSize);
        stream.update(salt);
        stream.update(counter);
        stream.finish(u);
    }
    std::uint8_t innerDigest[kDigestSize];
    storeSha256Words(u, innerDigest);
    Sha256Stream stream(kernel, outer, kBlockSize);
    stream.update(innerDigest);
    stream.finish(u);
    wipeMemory(innerDigest, sizeof innerDigest);
}

// The SIMD kernels keep the HMAC states in registers, but the compiler is free to spill some of
// them below the stack pointer, where they would outlive the call. Running over the same stack
// region with a wiped buffer overwrites whatever the kernels left there.
[[gnu::noinline]] void wipeUsedStack() {
    std::uint8_t scratch[4096];
    wipeMemory(scratch, sizeof scratch);
}

}  // namespace

int pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                     std::uint32_t iterations, std::span<std::uint8_t> out) {
    return pbkdf2HmacSha256(sha256FastestKernel(), password, salt, iterations, out);
}

int pbkdf2HmacSha256(const Sha256Kernel& kernel, std::span<const std::uint8_t> password,
                     std::span<const std::uint8_t> salt, std::uint32_t iterations,
                     std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    if (iterations == 0) return -1;
    // The block index is a 32-bit counter, which bounds the output length (RFC 8018, 5.2).
    if (out.size() / kDigestSize + (out.size() % kDigestSize != 0) > 0xffffffffu) return -2;

    std::uint32_t inner[8];
    std::uint32_t outer[8];
    std::uint32_t u[8];
    std::uint32_t t[8];
    std::uint8_t block[kDigestSize];
    prepareKey(kernel, password, inner, outer);
    std::uint32_t index = 1;
    for (std::size_t offset = 0; offset < out.size(); offset += kDigestSize, ++index) {
        firstIteration(kernel, inner, outer, salt, index, u);
        std::memcpy(t, u, sizeof t);
        kernel.hmacIterate(inner, outer, u, t, iterations - 1);
        storeSha256Words(t, block);
        std::memcpy(out.data() + offset, block, std::min(kDigestSize, out.size() - offset));
    }
    wipeMemory(inner, sizeof inner);
    wipeMemory(outer, sizeof outer);
    wipeMemory(u, sizeof u);
    wipeMemory(t, sizeof t);
    wipeMemory(block, sizeof block);
    wipeUsedStack();
    return 0;
}

}  // namespace quorvane
