#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quorvane {

// Bytes that are not secret: envelopes, nonces, public keys.
using Bytes = std::vector<std::uint8_t>;

// SecretBytes holds key material or plaintext. It is move-only, never converts to a string,
// and wipes its storage whenever the storage is released (destruction, move-assignment over it,
// growth, clear) and whenever it shrinks. Bytes written through data() beyond size() are outside
// the contract and are not wiped. Small buffers (keys, derived keys, short plaintexts: up to
// 4 KiB) live in pages locked in memory, which never reach swap (crypto/secret_memory.h).
// Thread safety: none; one owner at a time.
class SecretBytes {
  public:
    SecretBytes() = default;
    // SecretBytes(size) makes `size` zero bytes.
    explicit SecretBytes(std::size_t size);
    // copyOf copies `bytes`; the caller still owns (and should wipe) the source.
    static SecretBytes copyOf(std::span<const std::uint8_t> bytes);
    static SecretBytes copyOf(std::string_view text);

    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    ~SecretBytes();

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<std::uint8_t> span() noexcept { return {data_, size_}; }
    std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    // reserve grows the capacity to at least `capacity`, keeping the contents; the old storage is
    // wiped before it is freed.
    void reserve(std::size_t capacity);
    // resize keeps the first min(size, new size) bytes; new bytes are zero.
    void resize(std::size_t size);
    void push_back(std::uint8_t byte);
    // extend grows the size by `count` bytes whose contents are unspecified (the caller writes
    // them at once) and returns a pointer to the first of them. Grows the capacity geometrically.
    std::uint8_t* extend(std::size_t count);
    void append(std::span<const std::uint8_t> bytes);
    // clear wipes and frees the storage.
    void clear() noexcept;

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    // One past the furthest byte ever inside the size: storage beyond it was never handed out,
    // so wiping stops there rather than touching (and making resident) untouched pages.
    std::size_t touched_ = 0;
};

// wipeMemory overwrites `size` bytes at `data` with zeros in a way the compiler cannot drop.
void wipeMemory(void* data, std::size_t size) noexcept;

// constantTimeEqual compares two byte strings without an early exit on the first difference.
bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

}  // namespace quorvane
