#include "os/memory.h"

#include <string.h>  // explicit_bzero
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace quorvane::os {
namespace {

void keepOutOfDumps(void* data, std::size_t bytes) noexcept {
    // Core dumps are off for the whole process anyway; this also covers a dump taken by other
    // means. Best effort: an older kernel without the hint still gets working memory.
    (void)::madvise(data, bytes, MADV_DONTDUMP);
}

}  // namespace

std::size_t pageSize() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

void wipe(void* data, std::size_t size) noexcept {
    // explicit_bzero is memset (vectorised, several times faster than OPENSSL_cleanse on bulk
    // payloads) behind a barrier the optimiser cannot remove.
    if (data != nullptr && size != 0) explicit_bzero(data, size);
}

void* mapPages(std::size_t bytes) {
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    keepOutOfDumps(data, bytes);
    return data;
}

void* remapPages(void* data, std::size_t oldBytes, std::size_t newBytes) {
    void* moved = ::mremap(data, oldBytes, newBytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    keepOutOfDumps(moved, newBytes);
    return moved;
}

void unmapPages(void* data, std::size_t bytes) noexcept {
    if (data != nullptr) ::munmap(data, bytes);
}

void* mapLockedPages(std::size_t bytes, bool* locked) {
    void* base = mapPages(bytes);
#ifdef MADV_WIPEONFORK
    (void)::madvise(base, bytes, MADV_WIPEONFORK);
#endif
    // mlock fails once RLIMIT_MEMLOCK is used up. Refusing the allocation then would turn a
    // memory-lock limit into failed requests; the pages are still wiped on release.
    *locked = ::mlock(base, bytes) == 0;
    return base;
}

void excludeFromDumps(void* data, std::size_t bytes) noexcept {
    if (data == nullptr || bytes == 0) return;
    // madvise wants a page-aligned start; the pages around the region are marked whole.
    auto start = reinterpret_cast<std::uintptr_t>(data) & ~(pageSize() - 1);
    auto end = reinterpret_cast<std::uintptr_t>(data) + bytes;
    keepOutOfDumps(reinterpret_cast<void*>(start), end - start);
}

bool lockRegion(void* data, std::size_t bytes) noexcept {
    return data != nullptr && bytes != 0 && ::mlock(data, bytes) == 0;
}

void unlockRegion(void* data, std::size_t bytes) noexcept {
    if (data != nullptr && bytes != 0) (void)::munlock(data, bytes);
}

}  // namespace quorvane::os
