#pragma once

#include <cstddef>

// Memory primitives of the operating system that secret-holding buffers need. Everything above
// src/os reaches them only through these functions.
namespace quorvane::os {

// pageSize returns the size of a memory page.
std::size_t pageSize() noexcept;

// hugePageSize returns the size of a transparent huge page (mappings of at least this size
// made by mapPages and remapPages are huge-page backed where the system allows).
std::size_t hugePageSize() noexcept;

// wipe overwrites `size` bytes at `data` with zeros in a way the optimiser cannot remove.
// Accepts a null `data` when `size` is 0.
void wipe(void* data, std::size_t size) noexcept;

// mapPages returns `bytes` (a multiple of pageSize()) of fresh zeroed private memory, kept out of
// core dumps; mappings of 2 MiB or more are backed by transparent huge pages where the system
// offers them (fewer, cheaper page faults when a bulk buffer is first written). Pages become
// resident only when first written. Raises std::bad_alloc when the system has none.
void* mapPages(std::size_t bytes);

// remapPages grows the mapping at `data` from `oldBytes` to `newBytes` (multiples of pageSize()),
// moving the pages rather than copying them, so no copy of the contents stays behind at the old
// address; the new tail is zeroed, kept out of core dumps and, from 2 MiB, huge-page backed.
// Moved pages keep their size: a mapping of small pages stays one.
// Returns the new address; raises std::bad_alloc (leaving the old mapping as it was) when it
// cannot.
void* remapPages(void* data, std::size_t oldBytes, std::size_t newBytes);

// unmapPages returns a mapping made by mapPages or remapPages to the system.
void unmapPages(void* data, std::size_t bytes) noexcept;

// mapLockedPages is mapPages for secrets that must not reach swap: the pages are also locked in
// memory when the memory-lock limit allows (`locked` tells whether it did) and read as zeros in a
// forked child. A refused lock is not an error: the pages are still usable and wiped on release.
void* mapLockedPages(std::size_t bytes, bool* locked);

// excludeFromDumps keeps the pages holding [data, data + bytes) of an existing allocation
// (ordinary heap memory included) out of core dumps. The mark applies to whole pages, so data
// sharing the first and last page shares it, and it stays on the pages after the allocation is
// freed. Best effort: never fails.
void excludeFromDumps(void* data, std::size_t bytes) noexcept;

// lockRegion locks the pages holding [data, data + bytes) of an existing allocation in memory, so
// they are never written to swap, when the memory-lock limit allows; returns whether it did. Locks
// do not nest: a page is locked or not. Call unlockRegion before the allocation is freed, or its
// pages stay locked and keep counting against RLIMIT_MEMLOCK.
bool lockRegion(void* data, std::size_t bytes) noexcept;

// unlockRegion unlocks the pages holding [data, data + bytes), locked or not.
void unlockRegion(void* data, std::size_t bytes) noexcept;

}  // namespace quorvane::os
