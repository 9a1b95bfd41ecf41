// The file store's database on its own: identities, contents, and how it treats files that are not
// (or not yet) a store, locks held by others, and the umask.
#include "file_store/store_database.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "file_store/statuses.h"
#include "support/helper_process.h"

namespace quorvane::platform {
namespace {

namespace fs = std::filesystem;
using quorvane::testing::TempDir;

GenericPasswordIdentity password(std::string service, std::string account,
                                 std::optional<std::string> group = std::nullopt) {
    return {std::move(service), std::move(account), std::move(group)};
}

ItemContents holding(std::string_view value) {
    ItemContents contents;
    contents.value = SecretBytes::copyOf(value);
    contents.accessible = "kSecAttrAccessibleAfterFirstUnlock";
    return contents;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// writeFile and execute leave files private to the user (mode 0600), as the store's own are: the
// store refuses a file that others may read before it looks inside.
void makePrivate(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    makePrivate(path);
}

void execute(const fs::path& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    makePrivate(path);
}

class StoreDatabaseTest : public ::testing::Test {
  protected:
    fs::path path() const { return fs::path(dir.path()) / "quorvane" / "keychain.sqlite3"; }
    StoreDatabase open(std::chrono::milliseconds timeout = std::chrono::milliseconds(200)) {
        return StoreDatabase(path(), timeout);
    }
    std::string valueOf(StoreDatabase& store, const ItemIdentity& identity) {
        StoredItem found;
        ItemStatus status = store.find(identity, &found);
        return status == store_status::kSuccess ? std::string(found.value.view())
                                                : "status " + statusText(status);
    }
    TempDir dir;
};

TEST_F(StoreDatabaseTest, KeepsGenericPasswordsByTheirWholeIdentity) {
    StoreDatabase store = open();
    const std::pair<ItemIdentity, std::string> items[] = {
        {password("svc", "acct"), "no group"},
        {password("svc", "acct", ""), "empty group"},
        {password("svc", "acct", "team"), "team group"},
        {password("svc", "acct "), "trailing space"},
        {password("acct", "svc"), "swapped"},
        {password(std::string("s\0x", 3), "acct"), "embedded nul"},
        {password("", ""), "empty names"},
    };
    for (const auto& [identity, value] : items) {
        EXPECT_EQ(store.add(identity, holding(value)), store_status::kSuccess) << value;
    }
    for (const auto& [identity, value] : items) EXPECT_EQ(valueOf(store, identity), value);
    EXPECT_EQ(valueOf(store, password("svc", "acct", "other")), "status -25300");
    EXPECT_EQ(valueOf(store, password("s", "acct")), "status -25300");
}

TEST_F(StoreDatabaseTest, AddUpdateFindRemove) {
    StoreDatabase store = open();
    const ItemIdentity id = password("svc", "acct");
    EXPECT_EQ(store.update(id, holding("x")), store_status::kNotFound);
    EXPECT_EQ(store.remove(id), store_status::kNotFound);
    EXPECT_EQ(store.add(id, holding("first")), store_status::kSuccess);
    EXPECT_EQ(store.add(id, holding("second")), store_status::kDuplicate);
    EXPECT_EQ(valueOf(store, id), "first") << "a refused add changes nothing";
    EXPECT_EQ(store.update(id, holding("third")), store_status::kSuccess);
    EXPECT_EQ(valueOf(store, id), "third");
    EXPECT_EQ(store.update(id, ItemContents{}), store_status::kSuccess)
        << "nothing to change still matches";
    EXPECT_EQ(valueOf(store, id), "third");
    EXPECT_EQ(store.update(id, holding("")), store_status::kSuccess);
    EXPECT_EQ(valueOf(store, id), "");
    EXPECT_EQ(store.remove(id), store_status::kSuccess);
    EXPECT_EQ(store.remove(id), store_status::kNotFound);
    EXPECT_EQ(valueOf(store, id), "status -25300");
    EXPECT_EQ(store.add(id, ItemContents{}), store_status::kBadAttributes)
        << "an add needs a value";
}

TEST_F(StoreDatabaseTest, KeepsKeyItemsWithTheirFlags) {
    StoreDatabase store = open();
    const Bytes tag = {'t', 'a', 'g', 0};
    const ItemIdentity key = KeyIdentity{"kSecAttrKeyTypeECSECPrimeRandom", tag};
    ItemContents contents = holding("private key bytes");
    contents.accessControlFlags = 0x40000008;
    EXPECT_EQ(store.add(key, contents), store_status::kSuccess);
    EXPECT_EQ(store.add(key, contents), store_status::kDuplicate);
    // Same tag with another type, and a generic password spelled like the tag, are other items.
    EXPECT_EQ(store.add(KeyIdentity{"otherType", tag}, holding("other")), store_status::kSuccess);
    EXPECT_EQ(valueOf(store, password("tag", "tag")), "status -25300");

    StoredItem found;
    ASSERT_EQ(store.find(key, &found), store_status::kSuccess);
    EXPECT_EQ(found.value.view(), "private key bytes");
    EXPECT_EQ(found.accessControlFlags, 0x40000008);

    ItemContents newFlags;
    newFlags.accessControlFlags = 8;
    EXPECT_EQ(store.update(key, newFlags), store_status::kSuccess);
    ASSERT_EQ(store.find(key, &found), store_status::kSuccess);
    EXPECT_EQ(found.value.view(), "private key bytes");
    EXPECT_EQ(found.accessControlFlags, 8);

    EXPECT_EQ(store.remove(key), store_status::kSuccess);
    EXPECT_EQ(store.find(key, &found), store_status::kNotFound);
    EXPECT_EQ(found.value.view(), "private key bytes") << "a failed find leaves the slot alone";
}

TEST_F(StoreDatabaseTest, SurvivesReopening) {
    {
        StoreDatabase store = open();
        ASSERT_EQ(store.add(password("svc", "acct"), holding("kept")), store_status::kSuccess);
    }
    StoreDatabase again = open();
    EXPECT_EQ(valueOf(again, password("svc", "acct")), "kept");
}

TEST_F(StoreDatabaseTest, OnlyAddCreatesAnything) {
    StoreDatabase store = open();
    StoredItem found;
    EXPECT_EQ(store.find(password("s", "a"), &found), store_status::kNotFound);
    EXPECT_EQ(store.update(password("s", "a"), holding("v")), store_status::kNotFound);
    EXPECT_EQ(store.remove(password("s", "a")), store_status::kNotFound);
    EXPECT_FALSE(fs::exists(path().parent_path()));
    EXPECT_EQ(store.add(password("s", "a"), holding("v")), store_status::kSuccess);
    EXPECT_TRUE(fs::exists(path()));
}

TEST_F(StoreDatabaseTest, EmptyFileBecomesAStore) {
    // What a helper stopped between making the file and its first commit leaves behind.
    writeFile(path(), "");
    StoreDatabase store = open();
    EXPECT_EQ(valueOf(store, password("s", "a")), "status -25300");
    EXPECT_EQ(store.add(password("s", "a"), holding("v")), store_status::kSuccess);
    EXPECT_EQ(valueOf(store, password("s", "a")), "v");
}

TEST_F(StoreDatabaseTest, RefusesFilesThatAreNotItsStoreAndLeavesThemAlone) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        ItemStatus status;
    };
    const Case cases[] = {
        {"garbage", [](const fs::path& p) { writeFile(p, std::string(5000, '\x01')); },
         store_status::kNotAStore},
        {"short garbage", [](const fs::path& p) { writeFile(p, "hello"); },
         store_status::kNotAStore},
        {"another program's database",
         [](const fs::path& p) {
             fs::create_directories(p.parent_path());
             execute(p, "CREATE TABLE notes (body TEXT)");
         },
         store_status::kNotAStore},
        {"labelled database without tables",
         [](const fs::path& p) {
             fs::create_directories(p.parent_path());
             execute(p, "PRAGMA application_id = 7");
         },
         store_status::kNotAStore},
        {"newer store",
         [](const fs::path& p) {
             StoreDatabase(p).add(password("s", "a"), holding("v"));
             execute(p, "PRAGMA user_version = 3");
         },
         store_status::kNewerFormat},
    };
    for (const Case& c : cases) {
        TempDir scratch;
        fs::path file = fs::path(scratch.path()) / "quorvane" / "keychain.sqlite3";
        c.make(file);
        const std::string before = fileBytes(file);
        StoreDatabase store(file);
        StoredItem found;
        EXPECT_EQ(store.find(password("s", "a"), &found), c.status) << c.name;
        EXPECT_EQ(store.update(password("s", "a"), holding("w")), c.status) << c.name;
        EXPECT_EQ(store.add(password("s", "b"), holding("w")), c.status) << c.name;
        EXPECT_EQ(store.remove(password("s", "a")), c.status) << c.name;
        EXPECT_TRUE(fileBytes(file) == before) << c.name << ": the file was changed";
    }
}

// A store written before write times were kept (format 1) is read as it is, and its first write
// adds the times. Its rows are dated by the file's last change before that write, the latest
// they can have been written; the upgrading write, which changes the file again, does not make
// them any newer.
TEST_F(StoreDatabaseTest, AStoreWithoutWriteTimesIsReadAndUpgradedByItsFirstWrite) {
    TempDir scratch;
    fs::path file = fs::path(scratch.path()) / "quorvane" / "keychain.sqlite3";
    fs::create_directories(file.parent_path());
    execute(file, R"sql(
        CREATE TABLE generic_passwords (service BLOB NOT NULL, account BLOB NOT NULL,
            has_access_group INTEGER NOT NULL, access_group BLOB NOT NULL, value BLOB NOT NULL,
            accessible TEXT, PRIMARY KEY (service, account, has_access_group, access_group))
            STRICT;
        CREATE TABLE key_items (key_type TEXT NOT NULL, application_tag BLOB NOT NULL,
            value BLOB NOT NULL, access_control_flags INTEGER NOT NULL,
            PRIMARY KEY (key_type, application_tag)) STRICT;
        INSERT INTO generic_passwords VALUES (X'73', X'61', 0, X'', X'6f6c64', NULL);
        PRAGMA application_id = 1364609859;
        PRAGMA user_version = 1;)sql");
    const timespec lastWritten[2] = {{1000, 0}, {1000, 250000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), lastWritten, 0), 0);
    StoreDatabase store(file);
    StoredItem found;
    ASSERT_EQ(store.find(password("s", "a"), &found), store_status::kSuccess);
    EXPECT_EQ(found.value.view(), "old");
    EXPECT_EQ(found.modifiedMilliseconds, 1000250);

    ItemContents later = holding("new");
    later.modifiedMilliseconds = 1234567;
    ASSERT_EQ(store.add(password("s", "b"), later), store_status::kSuccess);
    ASSERT_EQ(store.find(password("s", "a"), &found), store_status::kSuccess);
    EXPECT_EQ(found.modifiedMilliseconds, 1000250) << "the upgrade made an old row look new";
    ASSERT_EQ(store.find(password("s", "b"), &found), store_status::kSuccess);
    EXPECT_EQ(found.modifiedMilliseconds, 1234567);
}

TEST_F(StoreDatabaseTest, ReportsADamagedStore) {
    {
        StoreDatabase store = open();
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(store.add(password("svc", "acct" + std::to_string(i)),
                                holding(std::string(300, 'v'))),
                      store_status::kSuccess);
        }
    }
    // Overwrite the pages after the first with garbage, keeping the header intact.
    std::string bytes = fileBytes(path());
    for (std::size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
    writeFile(path(), bytes);
    StoreDatabase store = open();
    StoredItem found;
    EXPECT_EQ(store.find(password("svc", "acct7"), &found), store_status::kCorrupt);
    EXPECT_EQ(store.remove(password("svc", "acct7")), store_status::kCorrupt);
}

TEST_F(StoreDatabaseTest, WaitsForALockThenGivesUpWithBusy) {
    StoreDatabase store = open();
    ASSERT_EQ(store.add(password("s", "a"), holding("v")), store_status::kSuccess);

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    StoreDatabase waiting = open(std::chrono::milliseconds(100));
    StoredItem found;
    EXPECT_EQ(waiting.find(password("s", "a"), &found), store_status::kBusy);
    EXPECT_EQ(waiting.update(password("s", "a"), holding("w")), store_status::kBusy);
    EXPECT_EQ(waiting.remove(password("s", "a")), store_status::kBusy);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);

    EXPECT_EQ(waiting.update(password("s", "a"), holding("w")), store_status::kSuccess);
    EXPECT_EQ(valueOf(waiting, password("s", "a")), "w");
}

TEST_F(StoreDatabaseTest, WaitsAsLongAsAnotherProcessKeepsChangingTheStore) {
    // Another connection keeps the write lock ten times the stall timeout, committing as it goes,
    // and takes it again at once after each commit. A waiter must see a busy store, not a stalled
    // one, and do its write once the lock is free.
    StoreDatabase store = open();
    ASSERT_EQ(store.add(password("s", "counter"), holding("0")), store_status::kSuccess);
    ASSERT_EQ(store.add(password("s", "a"), holding("v")), store_status::kSuccess);

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &holder), SQLITE_OK);
    std::atomic<bool> holding_lock{false};
    std::thread busy([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        while (std::chrono::steady_clock::now() < until) {
            sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            holding_lock = true;
            sqlite3_exec(holder,
                         "UPDATE generic_passwords SET value = randomblob(16) "
                         "WHERE account = CAST('counter' AS BLOB)",
                         nullptr, nullptr, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
        }
    });
    while (!holding_lock) std::this_thread::yield();
    StoreDatabase waiting = open(std::chrono::milliseconds(100));
    EXPECT_EQ(waiting.update(password("s", "a"), holding("w")), store_status::kSuccess);
    busy.join();
    sqlite3_close(holder);
    EXPECT_EQ(valueOf(waiting, password("s", "a")), "w");
}

TEST_F(StoreDatabaseTest, PlaceProblems) {
    StoredItem found;
    EXPECT_EQ(StoreDatabase(std::nullopt).add(password("s", "a"), holding("v")),
              store_status::kNoLocation);
    EXPECT_EQ(StoreDatabase(std::nullopt).find(password("s", "a"), &found),
              store_status::kNoLocation);

    writeFile(path().parent_path(), "a file where the directory goes");
    EXPECT_EQ(open().add(password("s", "a"), holding("v")), store_status::kDirectoryFailed);
    EXPECT_EQ(open().find(password("s", "a"), &found), store_status::kNotFound);

    fs::remove(path().parent_path());
    fs::create_directories(path());
    EXPECT_EQ(open().add(password("s", "a"), holding("v")), store_status::kCannotOpen);
    EXPECT_EQ(open().find(password("s", "a"), &found), store_status::kCannotOpen);
}

TEST_F(StoreDatabaseTest, MakesPrivateFilesWhateverTheUmask) {
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        TempDir scratch;
        fs::path file = fs::path(scratch.path()) / "a" / "b" / "keychain.sqlite3";
        mode_t previous = umask(mask);
        ItemStatus status = StoreDatabase(file).add(password("s", "a"), holding("v"));
        umask(previous);
        ASSERT_EQ(status, store_status::kSuccess) << "umask " << mask;
        auto mode = [](const fs::path& p) {
            struct stat info {};
            stat(p.c_str(), &info);
            return info.st_mode & 07777;
        };
        EXPECT_EQ(mode(file), 0600u) << "umask " << mask;
        EXPECT_EQ(mode(file.parent_path()), 0700u) << "umask " << mask;
        EXPECT_EQ(mode(file.parent_path().parent_path()), 0700u) << "umask " << mask;
    }
}

TEST_F(StoreDatabaseTest, RemovedValuesDoNotLingerInTheFile) {
    StoreDatabase store = open();
    const std::string secret = "a secret that must be gone from the file";
    ASSERT_EQ(store.add(password("s", "a"), holding(secret)), store_status::kSuccess);
    ASSERT_EQ(store.add(password("s", "b"), holding("other")), store_status::kSuccess);
    ASSERT_EQ(store.remove(password("s", "a")), store_status::kSuccess);
    EXPECT_EQ(fileBytes(path()).find(secret), std::string::npos);
}

}  // namespace
}  // namespace quorvane::platform
