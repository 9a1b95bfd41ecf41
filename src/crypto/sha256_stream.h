#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/sha256_kernel.h"

namespace quorvane {

// Sha256Stream hashes a message given in pieces, on a chosen kernel, starting from any state
// that already covers a whole number of 64-byte blocks (HMAC resumes from its key-block states).
// It wipes its state and buffer when destroyed. Thread safety: none; one owner at a time.
class Sha256Stream {
  public:
    // Sha256Stream starts from `state` after `bytesSoFar` bytes (a multiple of 64).
    Sha256Stream(const Sha256Kernel& kernel, const std::uint32_t state[8],
                 std::uint64_t bytesSoFar);
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    ~Sha256Stream();

    void update(std::span<const std::uint8_t> data);
    // finish pads the message and writes the digest as eight integer words H0..H7. Nothing may
    // be added afterwards.
    void finish(std::uint32_t digest[8]);

  private:
    const Sha256Kernel& kernel_;
    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::size_t buffered_ = 0;
    std::uint64_t length_;
};

// storeSha256Words writes eight integer words as 32 big-endian bytes (the digest's byte form).
void storeSha256Words(const std::uint32_t words[8], std::uint8_t bytes[32]);

}  // namespace quorvane
