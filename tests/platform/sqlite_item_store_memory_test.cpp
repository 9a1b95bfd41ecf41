// The store's SQLite runs on the wiping allocator when nothing used SQLite before it.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/sqlite_wiping_memory.h"

namespace quorvane::platform {
namespace {

TEST(SqliteItemStoreMemoryTest, InstallsTheWipingAllocatorBeforeFirstUse) {
    // A fresh process (re-executed for this test alone), as the helper is when it first opens
    // the store: nothing has started SQLite yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            useWipingSqliteMemory();
            void* block = sqlite3_malloc(100);
            // The wiping allocator keeps each block's size just before it; that is how it knows
            // how much to wipe on free.
            int size = 0;
            std::memcpy(&size, static_cast<char*>(block) - 16, sizeof size);
            sqlite3_free(block);
            _exit(size >= 100 && size < 128 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvane::platform
