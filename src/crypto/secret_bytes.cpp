#include "crypto/secret_bytes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "crypto/secret_memory.h"
#include "os/memory.h"

namespace quorvane {

void wipeMemory(void* data, std::size_t size) noexcept { os::wipe(data, size); }

namespace {

// Large buffers (bulk payloads, long request lines) get pages of their own: they can grow by
// moving page mappings instead of copying, leave no stale copy behind when they do, are kept
// out of core dumps, and return to the system at once when freed.
constexpr std::size_t kMappedThreshold = 256 * 1024;

bool isMapped(std::size_t capacity) { return capacity >= kMappedThreshold; }

std::size_t roundUp(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

std::size_t storageCapacity(std::size_t wanted) {
    // From the huge-page size on, whole huge pages: a part-filled last page would be made of
    // small pages, and the next growth could not turn it into a huge one.
    if (wanted >= os::hugePageSize()) return roundUp(wanted, os::hugePageSize());
    if (isMapped(wanted)) return roundUp(wanted, os::pageSize());
    return secretCapacityFor(wanted);
}

std::uint8_t* allocateStorage(std::size_t capacity) {
    // Small buffers (keys, derived keys, short plaintexts) live in locked pages.
    if (!isMapped(capacity)) return allocateSecret(capacity).data;
    return static_cast<std::uint8_t*>(os::mapPages(capacity));
}

void releaseStorage(std::uint8_t* data, std::size_t capacity) noexcept {
    if (data == nullptr) return;
    if (isMapped(capacity)) {
        os::unmapPages(data, capacity);
    } else {
        releaseSecret({data, capacity});
    }
}

}  // namespace

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

SecretBytes::SecretBytes(std::size_t size) { resize(size); }

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
      capacity_(std::exchange(other.capacity_, 0)),
      touched_(std::exchange(other.touched_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        clear();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        touched_ = std::exchange(other.touched_, 0);
    }
    return *this;
}

SecretBytes::~SecretBytes() { clear(); }

void SecretBytes::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    capacity = storageCapacity(capacity);
    // A mapping under the huge-page size is made of small pages, and moved pages stay small: the
    // first 2 MiB of the grown buffer would fault in 4 KiB at a time (over 500 faults, each
    // costly under virtualisation) where one huge page does. Copying the bytes in use into new
    // storage below costs less.
    bool intoHugePages = capacity_ < os::hugePageSize() && capacity >= os::hugePageSize();
    if (isMapped(capacity_) && !intoHugePages) {
        // The kernel moves the pages: no copy is made and nothing stays at the old address.
        data_ = static_cast<std::uint8_t*>(os::remapPages(data_, capacity_, capacity));
        capacity_ = capacity;
        return;
    }
    std::uint8_t* fresh = allocateStorage(capacity);
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    wipeMemory(data_, touched_);
    releaseStorage(data_, capacity_);
    touched_ = size_;
    data_ = fresh;
    capacity_ = capacity;
}

void SecretBytes::resize(std::size_t size) {
    if (size > capacity_) reserve(size);
    if (size > size_)
        std::memset(data_ + size_, 0, size - size_);
    else
        wipeMemory(data_ + size, size_ - size);
    size_ = size;
    touched_ = std::max(touched_, size_);
}

void SecretBytes::push_back(std::uint8_t byte) {
    if (size_ == capacity_) reserve(std::max<std::size_t>(16, capacity_ * 2));
    data_[size_++] = byte;
    touched_ = std::max(touched_, size_);
}

std::uint8_t* SecretBytes::extend(std::size_t count) {
    if (size_ + count > capacity_) reserve(std::max(size_ + count, capacity_ * 2));
    std::uint8_t* start = data_ + size_;
    size_ += count;
    touched_ = std::max(touched_, size_);
    return start;
}

void SecretBytes::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (size_ + bytes.size() > capacity_) reserve(std::max(size_ + bytes.size(), capacity_ * 2));
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    touched_ = std::max(touched_, size_);
}

void SecretBytes::clear() noexcept {
    wipeMemory(data_, touched_);
    releaseStorage(data_, capacity_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    touched_ = 0;
}

}  // namespace quorvane
