// The three secret commands through the built helper, as the application runs them: one process
// per operation, a fresh data directory per test, the real SQLite store underneath.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/helper_process.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using Arguments = std::vector<std::string>;

class SecretCommandsTest : public ::testing::Test {
  protected:
    RunResult run(const std::string& mode, const std::string& service, const std::string& account,
                  const std::string& input = "") {
        return runHelper({mode, "--service", service, "--account", account}, input, environment());
    }
    RunResult store(const std::string& service, const std::string& account, const std::string& v) {
        return run("--secret-store", service, account, v);
    }
    RunResult load(const std::string& service, const std::string& account) {
        return run("--secret-load", service, account);
    }
    RunResult remove(const std::string& service, const std::string& account) {
        return run("--secret-delete", service, account);
    }
    EnvironmentOverrides environment() const { return {{"XDG_DATA_HOME", home.path()}}; }
    fs::path storePath() const { return storeFile(home.path()); }

    void expectOk(const RunResult& result) {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "ok");
        EXPECT_EQ(result.err, "");
    }
    void expectFailure(const RunResult& result, int status, const std::string& message) {
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, message + "\n");
    }

    TempDir home;
};

TEST_F(SecretCommandsTest, StoredSecretsComeBackByteForByte) {
    const std::vector<std::pair<std::string, std::string>> items = {
        {"svc", "line feed kept\n"},     {"crlf", "two\r\n\r\n"},
        {"spaces", "  padded \t "},      {"unicode", "s\xc3\xa9same \xf0\x9f\x94\x91"},
        {"nul", std::string("a\0b", 3)}, {"large", std::string(1 << 20, 'x') + "\n"},
    };
    for (const auto& [account, secret] : items) expectOk(store("svc", account, secret));
    for (const auto& [account, secret] : items) {
        RunResult loaded = load("svc", account);
        EXPECT_EQ(loaded.status, 0) << account;
        EXPECT_EQ(loaded.err, "");
        EXPECT_TRUE(loaded.out == secret) << account;
    }
}

TEST_F(SecretCommandsTest, NamesAreUsedExactlyAsGiven) {
    expectOk(store("svc", "acct", "one"));
    expectOk(store("acct", "svc", "two"));
    expectOk(store(" ", " ", "three"));
    expectOk(store("svc ", "acct", "four"));
    expectOk(store("\xe2\x98\x83", "--account", "five"));
    EXPECT_EQ(load("svc", "acct").out, "one");
    EXPECT_EQ(load("acct", "svc").out, "two");
    EXPECT_EQ(load(" ", " ").out, "three");
    EXPECT_EQ(load("svc ", "acct").out, "four");
    EXPECT_EQ(load("\xe2\x98\x83", "--account").out, "five");
    expectFailure(load("SVC", "acct"), 6, "keychain secret missing");
}

TEST_F(SecretCommandsTest, StoringAgainReplacesWithoutADuplicate) {
    expectOk(store("svc", "acct", "first"));
    expectOk(store("svc", "acct", "second, longer than the first"));
    expectOk(store("svc", "acct", "third"));
    EXPECT_EQ(load("svc", "acct").out, "third");
    StoreDatabase db(storePath());
    EXPECT_EQ(db.text("SELECT count(*) FROM generic_passwords"), "1");
}

TEST_F(SecretCommandsTest, MissingItems) {
    expectFailure(load("svc", "acct"), 6, "keychain secret missing");
    expectOk(remove("svc", "acct"));
    // Neither looked-for-nothing operation leaves a store behind.
    EXPECT_FALSE(fs::exists(fs::path(home.path()) / "quorvane"));

    expectOk(store("svc", "acct", "v"));
    expectOk(remove("svc", "acct"));
    expectFailure(load("svc", "acct"), 6, "keychain secret missing");
    expectOk(remove("svc", "acct"));
}

TEST_F(SecretCommandsTest, ArgumentRules) {
    struct Case {
        Arguments arguments;
        int status;
        std::string out;
        std::string err;
    };
    const std::string missing = "missing keychain service or account\n";
    const Case cases[] = {
        {{"--secret-store", "--service", "s"}, 5, "", missing},
        {{"--secret-store", "--account", "a"}, 5, "", missing},
        {{"--secret-load", "--account", "a", "--service"}, 5, "", missing},
        {{"--secret-delete", "--service", "", "--account", "a"}, 5, "", missing},
        {{"--secret-load", "--service", "s", "--account", ""}, 5, "", missing},
        {{"--secret-store", "--service=s", "--account=a"}, 5, "", missing},
        // Any order; the argument after --service is its value even when it is a flag, and it
        // still counts as that flag.
        {{"--account", "name", "--secret-store", "--service", "svc"}, 0, "ok", ""},
        {{"--secret-store", "--service", "--account", "name"}, 0, "ok", ""},
        {{"--secret-load", "--service", "--account", "name"}, 0, "from stdin", ""},
        {{"--secret-load", "--account", "name", "--service", "--account"}, 0, "from stdin", ""},
        // Only the first occurrence counts.
        {{"--secret-load", "--service", "svc", "--service", "other", "--account", "name"},
         0,
         "from stdin",
         ""},
        {{"--secret-load", "--service", "other", "--service", "svc", "--account", "name"},
         6,
         "",
         "keychain secret missing\n"},
    };
    for (const Case& c : cases) {
        RunResult result = runHelper(c.arguments, "from stdin", environment());
        std::string shown;
        for (const auto& a : c.arguments) shown += "[" + a + "] ";
        EXPECT_EQ(result.status, c.status) << shown;
        EXPECT_EQ(result.out, c.out) << shown;
        EXPECT_EQ(result.err, c.err) << shown;
    }
}

TEST_F(SecretCommandsTest, MissingNamesNeverTouchTheStore) {
    RunResult result = runHelper({"--secret-store", "--service", "s"}, "v", environment());
    EXPECT_EQ(result.status, 5);
    EXPECT_FALSE(fs::exists(fs::path(home.path()) / "quorvane"));
}

TEST_F(SecretCommandsTest, InputThatIsEmptyOrNotUtf8IsRefused) {
    for (const std::string& input : {std::string(), std::string("\xff\xfe"), std::string("ok\xc3"),
                                     std::string("\xed\xa0\x80")}) {
        expectFailure(store("svc", "acct", input), 6, "missing secret input");
    }
    expectFailure(load("svc", "acct"), 6, "keychain secret missing");
    // A refused input leaves an earlier value alone.
    expectOk(store("svc", "acct", "kept"));
    expectFailure(store("svc", "acct", ""), 6, "missing secret input");
    EXPECT_EQ(load("svc", "acct").out, "kept");
}

TEST_F(SecretCommandsTest, StoredBytesThatAreNotUtf8AreInvalidData) {
    expectOk(store("svc", "acct", "placeholder"));
    StoreDatabase(storePath()).setValue("svc", "acct", "bad \xff bytes");
    expectFailure(load("svc", "acct"), 6, "invalid keychain secret data");
    // The item is still there and can be replaced or deleted.
    expectOk(store("svc", "acct", "good"));
    EXPECT_EQ(load("svc", "acct").out, "good");
}

TEST_F(SecretCommandsTest, StoreFileThatIsNotAStoreFailsAndIsLeftAlone) {
    struct Case {
        const char* name;
        std::string contents;
    };
    std::string foreign;
    {
        // Another program's SQLite database at our path.
        TempDir scratch;
        fs::path path = fs::path(scratch.path()) / "other.sqlite3";
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('x');", nullptr,
                     nullptr, nullptr);
        sqlite3_close(db);
        foreign = fileBytes(path);
    }
    const Case cases[] = {
        {"garbage", std::string(8192, '\x5a')},
        {"short garbage", "not a database"},
        {"foreign database", foreign},
    };
    for (const Case& c : cases) {
        writeFile(storePath(), c.contents);
        const std::string status = "-40006";
        RunResult stored = store("svc", "acct", "v");
        EXPECT_EQ(stored.err, "keychain secret update failed: " + status + "\n") << c.name;
        EXPECT_EQ(stored.status, 6);
        EXPECT_EQ(stored.out, "");
        EXPECT_EQ(load("svc", "acct").err, "keychain secret load failed: " + status + "\n");
        EXPECT_EQ(remove("svc", "acct").err, "keychain secret delete failed: " + status + "\n");
        EXPECT_TRUE(fileBytes(storePath()) == c.contents) << c.name << ": the file was changed";
    }
}

TEST_F(SecretCommandsTest, StoreWithoutAPlaceFailsClearly) {
    // The data directory's place is taken by a file: the store cannot be made.
    writeFile(fs::path(home.path()) / "quorvane", "a file, not a directory");
    expectFailure(store("svc", "acct", "v"), 6, "keychain secret store failed: -40002");
    // The store file's place is taken by a directory.
    fs::remove(fs::path(home.path()) / "quorvane");
    fs::create_directories(storePath());
    expectFailure(store("svc", "acct", "v"), 6, "keychain secret update failed: -40003");
    expectFailure(load("svc", "acct"), 6, "keychain secret load failed: -40003");
}

TEST_F(SecretCommandsTest, StoreIsPrivateWhateverTheUmask) {
    const fs::path dataHome = fs::path(home.path()) / "made" / "here";
    mode_t previous = umask(0);  // the child inherits it
    RunResult result = runHelper({"--secret-store", "--service", "s", "--account", "a"}, "v",
                                 {{"XDG_DATA_HOME", dataHome.string()}});
    umask(previous);
    expectOk(result);
    auto mode = [](const fs::path& path) {
        struct stat info {};
        stat(path.c_str(), &info);
        return info.st_mode & 07777;
    };
    EXPECT_EQ(mode(dataHome / "quorvane"), 0700u);
    EXPECT_EQ(mode(dataHome / "quorvane" / "keychain.sqlite3"), 0600u);
    EXPECT_EQ(mode(dataHome), 0700u) << "missing parents are made private too";
}

TEST_F(SecretCommandsTest, FollowsTheDataDirectoryConvention) {
    // A relative or empty XDG_DATA_HOME is ignored in favour of HOME.
    for (const std::string& ignored : {std::string("relative/data"), std::string()}) {
        TempDir userHome;
        RunResult result = runHelper({"--secret-store", "--service", "s", "--account", "a"}, "v",
                                     {{"XDG_DATA_HOME", ignored}, {"HOME", userHome.path()}});
        expectOk(result);
        EXPECT_TRUE(fs::exists(fs::path(userHome.path()) / ".local" / "share" / "quorvane" /
                               "keychain.sqlite3"))
            << "XDG_DATA_HOME=" << ignored;
    }
}

}  // namespace
}  // namespace quorvane::testing
