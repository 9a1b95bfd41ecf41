#include "os/memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane::os {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

bool mapped(const void* start, std::size_t bytes) {
    std::vector<unsigned char> pages(bytes / pageSize());
    return ::mincore(const_cast<void*>(start), bytes, pages.data()) == 0 || errno != ENOMEM;
}

// Growing a buffer keeps its contents and leaves no copy of them where it was: the old range is
// either still the buffer (grown in place) or no longer mapped at all.
TEST(RemapPagesTest, KeepsTheContentsAndLeavesNothingBehind) {
    struct Case {
        const char* name;
        std::size_t from, to;
        bool blocked;  // a mapping right after the buffer keeps it from growing in place
    };
    const Case cases[] = {
        {"small to small", 64 * 1024, 1 * kMiB, false},
        {"small to huge pages", 1 * kMiB + 4096, 4 * kMiB, false},
        {"huge pages to more", 4 * kMiB, 16 * kMiB, false},
        {"huge pages to more, moved", 4 * kMiB, 16 * kMiB, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* data = static_cast<std::uint8_t*>(mapPages(c.from));
        void* blocker = nullptr;
        if (c.blocked) {
            blocker = ::mmap(data + c.from, pageSize(), PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            ASSERT_EQ(blocker, static_cast<void*>(data + c.from));
        }
        for (std::size_t i = 0; i < c.from; ++i)
            data[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
        auto* grown = static_cast<std::uint8_t*>(remapPages(data, c.from, c.to));
        if (c.blocked) {
            EXPECT_NE(grown, data);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(grown) % hugePageSize(), 0u);
            ::munmap(blocker, pageSize());
        }
        std::size_t differing = 0;
        for (std::size_t i = 0; i < c.from; ++i)
            differing += grown[i] != static_cast<std::uint8_t>(i * 7 + i / 4096);
        EXPECT_EQ(differing, 0u);
        std::size_t nonzeroTail = 0;
        for (std::size_t i = c.from; i < c.to; ++i) nonzeroTail += grown[i] != 0;
        EXPECT_EQ(nonzeroTail, 0u);
        if (grown != data) {
            EXPECT_FALSE(mapped(data, c.from)) << "the old range is still mapped";
        }
        unmapPages(grown, c.to);
    }
}

}  // namespace
}  // namespace quorvane::os
