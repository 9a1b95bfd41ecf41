#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvane {

// Storage behind SecretBytes. Blocks of up to LockedArena::kMaxSlot bytes (keys, derived keys,
// hex-decoded temporaries, short plaintexts) come from an arena of pages locked in memory, so
// they never reach swap, and kept out of core dumps. Larger blocks (request lines, replies, bulk
// payloads) come from the ordinary heap: locking them would make their whole capacity resident
// and exhaust the small memory-lock limit; what they hold lives for one request and is wiped
// by their owner. In AddressSanitizer builds every block comes from the heap, so the sanitizer sees
// each overflow and each use after release.

struct SecretBlock {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;  // usable bytes: at least the size asked for
};

// allocateSecret returns storage for at least `size` bytes (size > 0), with a capacity of
// secretCapacityFor(size); its contents are unspecified. Raises std::bad_alloc when no memory is
// left. Thread-safe.
SecretBlock allocateSecret(std::size_t size);

// secretCapacityFor is the capacity allocateSecret gives for `size` bytes: the size class for a
// locked slot, `size` itself otherwise.
std::size_t secretCapacityFor(std::size_t size);

// releaseSecret gives the storage of `block` back. The caller wipes what it wrote first
// (SecretBytes does); arena slots are wiped once more in full before reuse. `block` must be
// exactly what allocateSecret returned; an empty block is ignored. Thread-safe; never raises.
void releaseSecret(SecretBlock block) noexcept;

// LockedArena hands out blocks of up to kMaxSlot bytes in power-of-two size classes, carved from
// chunks of pages that are mlock'ed, excluded from core dumps and wiped in a forked child.
// Pages are never unlocked or returned while the arena lives: released slots are wiped and
// reused, so unlocking a page can never expose a neighbour's secret. When mlock is refused (the
// memory-lock limit is reached) the chunk is used unlocked rather than failing the caller.
// Thread-safe.
class LockedArena {
  public:
    static constexpr std::size_t kMinSlot = 16;
    static constexpr std::size_t kMaxSlot = 4096;

    LockedArena();
    // Unmaps every chunk; only arenas made by tests are ever destroyed.
    ~LockedArena();
    LockedArena(const LockedArena&) = delete;
    LockedArena& operator=(const LockedArena&) = delete;

    // allocate returns a slot of the smallest class holding `size` bytes (1..kMaxSlot); its
    // capacity is the class size. Raises std::bad_alloc when no pages can be mapped.
    SecretBlock allocate(std::size_t size);
    // release wipes the slot and makes it available again.
    void release(SecretBlock block) noexcept;

    std::size_t mappedBytes() const;  // bytes of all chunks
    std::size_t lockedBytes() const;  // bytes of chunks whose mlock succeeded

  private:
    static constexpr std::size_t kClasses = 9;  // 16, 32, ..., 4096
    struct Chunk {
        void* base;
        std::size_t bytes;
    };
    void addChunk(std::size_t classIndex);

    mutable std::mutex mutex_;
    std::size_t pageSize_;
    std::vector<std::uint8_t*> free_[kClasses];
    std::size_t chunkCount_[kClasses] = {};
    std::size_t slotCount_[kClasses] = {};
    std::vector<Chunk> chunks_;
    std::size_t mappedBytes_ = 0;
    std::size_t lockedBytes_ = 0;
};

}  // namespace quorvane
