#include "os/memory.h"

#include <string.h>  // explicit_bzero
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace quorvane::os {
namespace {

// Transparent huge pages are 2 MiB on x86-64 and on arm64 with 4 KiB pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// advise applies the hints every mapping of mapPages and remapPages gets.
void advise(void* data, std::size_t bytes) noexcept {
    // Core dumps are off for the whole process anyway; this also covers a dump taken by other
    // means. Best effort: an older kernel without the hint still gets working memory.
    (void)::madvise(data, bytes, MADV_DONTDUMP);
    // A bulk request line is written once from end to end as it arrives. In 4 KiB pages that is
    // one fault per page, and under virtualisation each fault is expensive (about 15 us on the
    // machine of docs/performance.md, 20 times the cost of filling the page): huge pages make the
    // first 64 MiB payload of a fresh process about as fast as the later ones. Small mappings
    // are left alone so a process that never sees a large request stays small. Best effort:
    // without transparent huge pages the mapping still works.
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugePage) (void)::madvise(data, bytes, MADV_HUGEPAGE);
#endif
}

// alignedRange returns `bytes` of address space starting on a huge-page boundary, mapped with
// `protection`, or nullptr when there is none. Huge pages only back 2 MiB-aligned ranges, and a
// buffer that grows keeps them only when every move lands on such a boundary too.
void* alignedRange(std::size_t bytes, int protection, int extraFlags) noexcept {
    std::size_t span = bytes + kHugePage;
    void* raw = ::mmap(nullptr, span, protection, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(raw);
    std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) (void)::munmap(raw, aligned - start);
    std::uintptr_t end = start + span;
    if (end > aligned + bytes)
        (void)::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

std::size_t pageSize() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t hugePageSize() noexcept { return kHugePage; }

void wipe(void* data, std::size_t size) noexcept {
    // explicit_bzero is memset (vectorised, several times faster than OPENSSL_cleanse on bulk
    // payloads) behind a barrier the optimiser cannot remove.
    if (data != nullptr && size != 0) explicit_bzero(data, size);
}

void* mapPages(std::size_t bytes) {
    void* data = bytes >= kHugePage ? alignedRange(bytes, PROT_READ | PROT_WRITE, 0) : nullptr;
    if (data == nullptr) {
        // Small, or no room for the alignment slack (an address-space limit): any address.
        data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (data == MAP_FAILED) throw std::bad_alloc();
    }
    advise(data, bytes);
    return data;
}

void* remapPages(void* data, std::size_t oldBytes, std::size_t newBytes) {
    // Growing where the mapping lies keeps its address, and with it its huge pages.
    void* moved = ::mremap(data, oldBytes, newBytes, 0);
    if (moved == MAP_FAILED && newBytes >= kHugePage) {
        // Otherwise move it onto a huge-page boundary: the kernel then moves whole huge pages
        // instead of splitting them. The target is a fresh mapping of the new size whose start
        // the old pages replace; its tail is already the zeroed room. (Growing during the move
        // onto a reserved inaccessible range works too, but Valgrind then takes the new room
        // for unaddressable.)
        void* target = alignedRange(newBytes, PROT_READ | PROT_WRITE, 0);
        if (target != nullptr) {
            moved = ::mremap(data, oldBytes, oldBytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
            if (moved == MAP_FAILED) ::munmap(target, newBytes);
        }
    }
    if (moved == MAP_FAILED) moved = ::mremap(data, oldBytes, newBytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    advise(moved, newBytes);
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
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTDUMP);
}

bool lockRegion(void* data, std::size_t bytes) noexcept {
    return data != nullptr && bytes != 0 && ::mlock(data, bytes) == 0;
}

void unlockRegion(void* data, std::size_t bytes) noexcept {
    if (data != nullptr && bytes != 0) (void)::munlock(data, bytes);
}

}  // namespace quorvane::os
