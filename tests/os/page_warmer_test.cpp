#include "os/page_warmer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

namespace quorvane::os {
namespace {

constexpr std::size_t kRegion = std::size_t{16} << 20;

std::size_t residentPages(void* start, std::size_t bytes) {
    std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages(bytes / page);
    if (::mincore(start, bytes, pages.data()) != 0) return 0;
    std::size_t resident = 0;
    for (unsigned char p : pages) resident += p & 1;
    return resident;
}

void* mapRegion(void* at = nullptr) {
    int fixed = at != nullptr ? MAP_FIXED_NOREPLACE : 0;
    void* region = ::mmap(at, kRegion, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | fixed, -1, 0);
    return region == MAP_FAILED ? nullptr : region;
}

bool populateOnRequestWorks() {
    void* probe = mapRegion();
    bool works = ::madvise(probe, 4096, 23 /* MADV_POPULATE_WRITE */) == 0;
    ::munmap(probe, kRegion);
    return works;
}

TEST(PageWarmerTest, MakesTheAskedPagesResidentAndNoOthers) {
    if (!populateOnRequestWorks()) GTEST_SKIP() << "kernel cannot populate on request";
    char* region = static_cast<char*>(mapRegion());
    ASSERT_NE(region, nullptr);
    const std::size_t asked = kRegion / 2;
    {
        PageWarmer warmer;
        warmer.warm(region, region + asked);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (residentPages(region, asked) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) < asked &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        warmer.stop();
    }
    EXPECT_EQ(residentPages(region, asked) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), asked);
    EXPECT_EQ(residentPages(region + asked, kRegion - asked), 0u);
    ::munmap(region, kRegion);
}

// The buffer's owner moves or unmaps it right after stop(); a step still running then would
// populate whatever is mapped there next.
TEST(PageWarmerTest, AfterStopNothingTouchesWhatIsMappedThereNext) {
    if (!populateOnRequestWorks()) GTEST_SKIP() << "kernel cannot populate on request";
    PageWarmer warmer;
    for (int round = 0; round < 20; ++round) {
        char* region = static_cast<char*>(mapRegion());
        ASSERT_NE(region, nullptr);
        warmer.warm(region, region + kRegion);
        std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
        warmer.stop();
        ASSERT_EQ(::munmap(region, kRegion), 0);
        void* next = mapRegion(region);
        ASSERT_EQ(next, region) << "the address was taken meanwhile";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(residentPages(next, kRegion), 0u) << "round " << round;
        ::munmap(next, kRegion);
    }
}

// A request that is still running when the warmer goes away ends with it.
TEST(PageWarmerTest, GoesAwayWithARequestPending) {
    char* region = static_cast<char*>(mapRegion());
    ASSERT_NE(region, nullptr);
    {
        PageWarmer warmer;
        warmer.warm(region, region + kRegion);
    }
    ::munmap(region, kRegion);
}

}  // namespace
}  // namespace quorvane::os
