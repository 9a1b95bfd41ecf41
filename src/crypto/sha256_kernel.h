#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

// Sha256Kernel is one implementation of the SHA-256 compression function (FIPS 180-4), with the
// inner loop of PBKDF2-HMAC-SHA-256 built on it. Every kernel gives bit-identical results; they
// differ only in the instructions they use. Kernels hold no state and are safe to call from any
// thread. A state is the eight chaining words H0..H7 as integers.
struct Sha256Kernel {
    // name identifies the kernel in tests and benchmark output ("portable", "x86-sha", ...).
    const char* name;

    // compress runs the compression function over `count` consecutive 64-byte blocks at
    // `blocks` (message bytes, big-endian words as in the standard) and updates `state`.
    void (*compress)(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);

    // hmacIterate runs `count` further PBKDF2 iterations of HMAC-SHA-256 with 32-byte messages:
    // `inner` and `outer` are the states after the key block XOR ipad and XOR opad, `u` holds
    // the previous iteration's digest and receives the last one, and every new digest is
    // XORed into `t`. Digests are kept as eight integer words. `count` may be zero.
    void (*hmacIterate)(const std::uint32_t inner[8], const std::uint32_t outer[8],
                        std::uint32_t u[8], std::uint32_t t[8], std::uint32_t count);
};

// sha256PortableKernel is plain C++ and runs everywhere.
const Sha256Kernel& sha256PortableKernel();

// sha256X86ShaKernel uses the x86-64 SHA extensions. Returns nullptr when this build or this CPU
// lacks them (SHA, SSSE3 and SSE4.1 are all required).
const Sha256Kernel* sha256X86ShaKernel();

// sha256Arm64Kernel uses the Armv8 SHA-2 instructions. Returns nullptr when this build or this
// CPU lacks them.
const Sha256Kernel* sha256Arm64Kernel();

// sha256FastestKernel returns the fastest kernel this CPU can run; chosen once, then cached.
const Sha256Kernel& sha256FastestKernel();

}  // namespace quorvane
