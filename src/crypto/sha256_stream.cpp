#include "crypto/sha256_stream.h"

#include <algorithm>
#include <cstring>

#include "crypto/secret_bytes.h"

namespace quorvane {

Sha256Stream::Sha256Stream(const Sha256Kernel& kernel, const std::uint32_t state[8],
                           std::uint64_t bytesSoFar)
    : kernel_(kernel), length_(bytesSoFar) {
    std::memcpy(state_, state, sizeof state_);
}

Sha256Stream::~Sha256Stream() {
    wipeMemory(state_, sizeof state_);
    wipeMemory(buffer_, sizeof buffer_);
}

void Sha256Stream::update(std::span<const std::uint8_t> data) {
    if (data.empty()) return;
    length_ += data.size();
    const std::uint8_t* p = data.data();
    std::size_t left = data.size();
    if (buffered_ != 0) {
        std::size_t take = std::min(left, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        left -= take;
        if (buffered_ < sizeof buffer_) return;
        kernel_.compress(state_, buffer_, 1);
        buffered_ = 0;
    }
    if (left >= 64) {
        kernel_.compress(state_, p, left / 64);
        p += left - left % 64;
        left %= 64;
    }
    if (left != 0) std::memcpy(buffer_, p, left);
    buffered_ = left;
}

void Sha256Stream::finish(std::uint32_t digest[8]) {
    const std::uint64_t bits = length_ * 8;
    buffer_[buffered_++] = 0x80;
    if (buffered_ > 56) {
        std::memset(buffer_ + buffered_, 0, sizeof buffer_ - buffered_);
        kernel_.compress(state_, buffer_, 1);
        buffered_ = 0;
    }
    std::memset(buffer_ + buffered_, 0, 56 - buffered_);
    for (int i = 0; i < 8; ++i) buffer_[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    kernel_.compress(state_, buffer_, 1);
    buffered_ = 0;
    std::memcpy(digest, state_, sizeof state_);
}

void storeSha256Words(const std::uint32_t words[8], std::uint8_t bytes[32]) {
    for (int i = 0; i < 8; ++i) {
        bytes[4 * i] = static_cast<std::uint8_t>(words[i] >> 24);
        bytes[4 * i + 1] = static_cast<std::uint8_t>(words[i] >> 16);
        bytes[4 * i + 2] = static_cast<std::uint8_t>(words[i] >> 8);
        bytes[4 * i + 3] = static_cast<std::uint8_t>(words[i]);
    }
}

}  // namespace quorvane
