// The locked arena behind SecretBytes: slots by size class, pages locked and kept out of core
// dumps, released slots wiped and reused, and a memory-lock limit that degrades to unlocked pages
// instead of failed allocations.
#include "crypto/secret_memory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <set>
#include <string>

#include "crypto/secret_bytes.h"
#include "support/sanitizer.h"

namespace quorvane {
namespace {

// AddressSanitizer's runtime replaces mlock with a no-op that reports success.
#ifdef QUORVANE_TEST_SANITIZED
#define SKIP_WITHOUT_MLOCK() GTEST_SKIP() << "the sanitizer runtime turns mlock into a no-op"
#else
#define SKIP_WITHOUT_MLOCK() (void)0
#endif

// The VmFlags of this process's mapping that holds `address`, with a space on each side.
std::string flagsOf(const void* address) {
    auto target = reinterpret_cast<unsigned long>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2) {
            inside = start <= target && target < end;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line.substr(std::strlen("VmFlags:")) + " ";
        }
    }
    return {};
}

TEST(LockedArenaTest, HandsOutSlotsOfTheSmallestClassThatFits) {
    LockedArena arena;
    const struct {
        std::size_t size, capacity;
    } cases[] = {{1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}, {1000, 1024}, {4096, 4096}};
    for (const auto& c : cases) {
        SecretBlock block = arena.allocate(c.size);
        EXPECT_EQ(block.capacity, c.capacity) << c.size;
        std::memset(block.data, 0xa5, block.capacity);  // all of it is usable
        arena.release(block);
    }
    EXPECT_THROW(arena.allocate(0), std::bad_alloc);
    EXPECT_THROW(arena.allocate(LockedArena::kMaxSlot + 1), std::bad_alloc);
    EXPECT_THROW(arena.allocate(SIZE_MAX), std::bad_alloc);
}

TEST(LockedArenaTest, PagesAreLockedAndLeftOutOfCoreDumps) {
    SKIP_WITHOUT_MLOCK();
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    if (geteuid() != 0 && limit.rlim_cur < static_cast<rlim_t>(sysconf(_SC_PAGESIZE))) {
        GTEST_SKIP() << "this environment lets no page be locked";
    }
    LockedArena arena;
    SecretBlock block = arena.allocate(32);
    std::string flags = flagsOf(block.data);
    EXPECT_NE(flags.find(" lo "), std::string::npos) << flags;
    EXPECT_NE(flags.find(" dd "), std::string::npos) << flags;
    EXPECT_GT(arena.lockedBytes(), 0u);
    EXPECT_EQ(arena.lockedBytes(), arena.mappedBytes());
    arena.release(block);
}

TEST(LockedArenaTest, ReleasedSlotsAreWipedAndReusedWithoutGrowing) {
    LockedArena arena;
    std::vector<SecretBlock> blocks;
    std::set<std::uint8_t*> addresses;
    for (int i = 0; i < 1000; ++i) {  // several chunks' worth
        blocks.push_back(arena.allocate(32));
        std::memset(blocks.back().data, 0x5a, 32);
        addresses.insert(blocks.back().data);
    }
    EXPECT_EQ(addresses.size(), blocks.size());
    // No two slots overlap.
    for (auto it = addresses.begin(); std::next(it) != addresses.end(); ++it) {
        EXPECT_GE(*std::next(it) - *it, 32);
    }
    std::size_t mapped = arena.mappedBytes();
    for (const SecretBlock& block : blocks) arena.release(block);
    for (const SecretBlock& block : blocks) {
        // The arena keeps its pages, so reading a released slot is defined here.
        EXPECT_TRUE(
            std::all_of(block.data, block.data + 32, [](std::uint8_t b) { return b == 0; }));
    }
    for (int i = 0; i < 1000; ++i) {
        SecretBlock block = arena.allocate(20);
        EXPECT_EQ(addresses.count(block.data), 1u);
    }
    EXPECT_EQ(arena.mappedBytes(), mapped);
}

TEST(LockedArenaTest, AMemoryLockLimitGivesUnlockedPagesNotFailures) {
    SKIP_WITHOUT_MLOCK();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Without privileges (root's CAP_IPC_LOCK ignores the limit) and with nothing lockable.
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
            _exit(10);
        }
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_MEMLOCK, &none) != 0) _exit(11);
        LockedArena arena;
        SecretBlock block = arena.allocate(64);
        std::memset(block.data, 1, block.capacity);
        bool unlocked = arena.lockedBytes() == 0 && arena.mappedBytes() > 0 &&
                        flagsOf(block.data).find(" lo ") == std::string::npos;
        arena.release(block);
        _exit(unlocked ? 0 : 12);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SecretBytesStorageTest, KeysLiveInLockedPages) {
#ifdef QUORVANE_TEST_SANITIZED
    GTEST_SKIP() << "sanitizer builds keep secrets on the instrumented heap";
#endif
    SecretBytes key(32);
    std::string flags = flagsOf(key.data());
    EXPECT_NE(flags.find(" lo "), std::string::npos) << flags;
    EXPECT_NE(flags.find(" dd "), std::string::npos) << flags;
}

}  // namespace
}  // namespace quorvane
