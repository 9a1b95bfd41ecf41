// The store is opened only when the descriptor SQLite opened is the file the place check looked
// at: a file swapped in at the path after the check is never used.
#include "file_store/sqlite_store_open.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "file_store/sqlite_wiping_memory.h"
#include "support/helper_process.h"
#include "support/store_file.h"

namespace quorvane::platform {
namespace {

namespace fs = std::filesystem;

PrivateStoreFile checkedFile(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return {path, info.st_dev, info.st_ino};
}

TEST(OpenCheckedStore, OpensTheCheckedFileAndRefusesOneSwappedIn) {
    useWipingSqliteMemory();
    testing::TempDir directory;
    const fs::path store = fs::path(directory.path()) / "keychain.sqlite3";
    testing::writeFile(store, "");
    const PrivateStoreFile checked = checkedFile(store);

    sqlite3* db = nullptr;
    bool replaced = true;
    EXPECT_EQ(openCheckedStore(checked, SQLITE_OPEN_READWRITE, &db, &replaced), SQLITE_OK);
    EXPECT_FALSE(replaced);
    sqlite3_close_v2(db);

    // Another file renamed over the path after the check.
    const fs::path planted = fs::path(directory.path()) / "planted";
    testing::writeFile(planted, "");
    fs::rename(planted, store);
    db = nullptr;
    EXPECT_NE(openCheckedStore(checked, SQLITE_OPEN_READWRITE, &db, &replaced), SQLITE_OK);
    EXPECT_TRUE(replaced);
    sqlite3_close_v2(db);
}

// SQLite opens the path as it spells it after its own clean-up ("/./" removed). An open whose
// descriptor was never looked at is not taken for the checked file unless the path names it.
TEST(OpenCheckedStore, RefusesAnOpenItCouldNotLookAt) {
    useWipingSqliteMemory();
    testing::TempDir directory;
    const fs::path store = fs::path(directory.path()) / "keychain.sqlite3";
    testing::writeFile(store, "");
    const fs::path other = fs::path(directory.path()) / "other";
    testing::writeFile(other, "");
    PrivateStoreFile checked = checkedFile(other);
    checked.realPath = fs::path(directory.path()) / "." / "keychain.sqlite3";

    sqlite3* db = nullptr;
    bool replaced = false;
    openCheckedStore(checked, SQLITE_OPEN_READWRITE, &db, &replaced);
    EXPECT_TRUE(replaced);
    sqlite3_close_v2(db);
}

}  // namespace
}  // namespace quorvane::platform
