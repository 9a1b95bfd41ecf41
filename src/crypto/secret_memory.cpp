#include "crypto/secret_memory.h"

#include <algorithm>
#include <new>

#include "crypto/secret_bytes.h"
#include "os/memory.h"

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MALLOCLIKE_BLOCK(addr, size, redzone, zeroed) ((void)0)
#define VALGRIND_FREELIKE_BLOCK(addr, redzone) ((void)0)
#define VALGRIND_MAKE_MEM_NOACCESS(addr, size) ((void)0)
#define VALGRIND_MAKE_MEM_UNDEFINED(addr, size) ((void)0)
#endif

#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_HEAP_SECRETS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_HEAP_SECRETS 1
#endif
#endif

namespace quorvane {
namespace {

std::size_t roundUp(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

std::size_t classIndexFor(std::size_t size) {
    std::size_t index = 0;
    for (std::size_t slot = LockedArena::kMinSlot; slot < size; slot *= 2) ++index;
    return index;
}

#ifndef QUORVANE_HEAP_SECRETS
LockedArena& processArena() {
    // Never destroyed: SecretBytes with static storage may be released after any destructor.
    static LockedArena* arena = new LockedArena;
    return *arena;
}
#endif

}  // namespace

LockedArena::LockedArena() : pageSize_(os::pageSize()) {}

LockedArena::~LockedArena() {
    for (const Chunk& chunk : chunks_) {
        VALGRIND_MAKE_MEM_UNDEFINED(chunk.base,
                                    chunk.bytes);  // free slots are no-access to memcheck
        wipeMemory(chunk.base, chunk.bytes);
        os::unmapPages(chunk.base, chunk.bytes);
    }
}

void LockedArena::addChunk(std::size_t classIndex) {
    std::size_t slot = kMinSlot << classIndex;
    // Chunks double per class up to 16 pages: a process that holds one key locks one page, a
    // process holding thousands maps few chunks.
    std::size_t pages = std::size_t{1} << std::min<std::size_t>(chunkCount_[classIndex], 4);
    std::size_t bytes = std::max(pages * pageSize_, roundUp(slot, pageSize_));
    bool locked = false;
    auto* base = static_cast<std::uint8_t*>(os::mapLockedPages(bytes, &locked));
    VALGRIND_MAKE_MEM_NOACCESS(base, bytes);
    chunks_.push_back({base, bytes});
    ++chunkCount_[classIndex];
    slotCount_[classIndex] += bytes / slot;
    mappedBytes_ += bytes;
    if (locked) lockedBytes_ += bytes;
    std::vector<std::uint8_t*>& slots = free_[classIndex];
    // Room for every slot the class owns, so release never has to allocate.
    slots.reserve(slotCount_[classIndex]);
    // Pushed from the top so the lowest addresses are handed out first.
    for (std::size_t offset = bytes; offset >= slot; offset -= slot) {
        slots.push_back(base + offset - slot);
    }
}

SecretBlock LockedArena::allocate(std::size_t size) {
    if (size == 0 || size > kMaxSlot) throw std::bad_alloc();
    std::size_t index = classIndexFor(size);
    std::lock_guard<std::mutex> guard(mutex_);
    if (free_[index].empty()) addChunk(index);
    std::uint8_t* slot = free_[index].back();
    free_[index].pop_back();
    std::size_t capacity = kMinSlot << index;
    VALGRIND_MALLOCLIKE_BLOCK(slot, capacity, 0, 0);
    return {slot, capacity};
}

void LockedArena::release(SecretBlock block) noexcept {
    if (block.data == nullptr) return;
    wipeMemory(block.data, block.capacity);
    VALGRIND_FREELIKE_BLOCK(block.data, 0);
    std::size_t index = classIndexFor(block.capacity);
    std::lock_guard<std::mutex> guard(mutex_);
    // The vector has room for every slot of the class (addChunk), so this never allocates.
    free_[index].push_back(block.data);
}

std::size_t LockedArena::mappedBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return mappedBytes_;
}

std::size_t LockedArena::lockedBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lockedBytes_;
}

std::size_t secretCapacityFor(std::size_t size) {
#ifndef QUORVANE_HEAP_SECRETS
    if (size != 0 && size <= LockedArena::kMaxSlot)
        return LockedArena::kMinSlot << classIndexFor(size);
#endif
    return size;
}

SecretBlock allocateSecret(std::size_t size) {
#ifndef QUORVANE_HEAP_SECRETS
    if (size <= LockedArena::kMaxSlot) return processArena().allocate(size);
#endif
    return {static_cast<std::uint8_t*>(::operator new(size)), size};
}

void releaseSecret(SecretBlock block) noexcept {
    if (block.data == nullptr) return;
#ifndef QUORVANE_HEAP_SECRETS
    if (block.capacity <= LockedArena::kMaxSlot) {
        processArena().release(block);
        return;
    }
#endif
    ::operator delete(block.data);
}

}  // namespace quorvane
