#include "crypto/secret_bytes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace quorvane {

void wipeMemory(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) {
        OPENSSL_cleanse(data, size);
    }
}

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

SecretBytes::SecretBytes(std::size_t size) {
    resize(size);
}

SecretBytes SecretBytes::copyOf(std::span<const std::uint8_t> bytes) {
    SecretBytes copy;
    copy.append(bytes);
    return copy;
}

SecretBytes SecretBytes::copyOf(std::string_view text) {
    return copyOf(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        clear();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

SecretBytes::~SecretBytes() {
    clear();
}

void SecretBytes::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* fresh = static_cast<std::uint8_t*>(::operator new(capacity));
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    wipeMemory(data_, capacity_);
    ::operator delete(data_);
    data_ = fresh;
    capacity_ = capacity;
}

void SecretBytes::resize(std::size_t size) {
    if (size > capacity_) reserve(size);
    if (size > size_) std::memset(data_ + size_, 0, size - size_);
    else wipeMemory(data_ + size, size_ - size);
    size_ = size;
}

void SecretBytes::push_back(std::uint8_t byte) {
    if (size_ == capacity_) reserve(std::max<std::size_t>(16, capacity_ * 2));
    data_[size_++] = byte;
}

std::uint8_t* SecretBytes::extend(std::size_t count) {
    if (size_ + count > capacity_) reserve(std::max(size_ + count, capacity_ * 2));
    std::uint8_t* start = data_ + size_;
    size_ += count;
    return start;
}

void SecretBytes::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (size_ + bytes.size() > capacity_) reserve(std::max(size_ + bytes.size(), capacity_ * 2));
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void SecretBytes::clear() noexcept {
    wipeMemory(data_, capacity_);
    ::operator delete(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

}  // namespace quorvane
