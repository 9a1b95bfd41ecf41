// The item store trusts no place another user controls. The test process (root in CI) is the
// user whose secrets are kept; kOtherUser plays the neighbour who owns, opens up or links the
// store's places. Each refused place is one a stored secret could be read from, or a planted
// store (with a planted presence key) could be fed from.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/helper_process.h"
#include "support/requirements.h"
#include "support/sanitizer.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;
const std::string kNotPrivate = "-40012";

void makeDirectory(const fs::path& path, mode_t mode, uid_t owner = 0, gid_t group = 0) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    ASSERT_EQ(chown(path.c_str(), owner, group), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void makeFile(const fs::path& path, const std::string& bytes, mode_t mode, uid_t owner = 0) {
    writeFile(path, bytes);
    ASSERT_EQ(chown(path.c_str(), owner, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

void makeLink(const fs::path& target, const fs::path& link, uid_t owner = 0) {
    fs::create_symlink(target, link);
    ASSERT_EQ(lchown(link.c_str(), owner, 0), 0);
}

// Every regular file under `root` that holds `text`.
std::vector<fs::path> filesHolding(const fs::path& root, const std::string& text) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && !entry.is_symlink() &&
            fileBytes(entry.path()).find(text) != std::string::npos) {
            found.push_back(entry.path());
        }
    }
    return found;
}

class StorePlaceTest : public ::testing::Test {
  public:  // the cases below prepare places through these
    void SetUp() override { SKIP_WITHOUT_ROOT("playing a second user needs root"); }

    // fresh starts a case in a new private directory with a private data directory inside.
    void fresh() {
        root_.reset();
        root_.emplace();
        data_ = base() / "data";
        dataHome_.clear();
        makeDirectory(data_, 0700);
    }
    fs::path base() const { return root_->path(); }

    RunResult run(const std::string& mode, const std::string& input = "") {
        return runHelper({mode, "--service", "svc", "--account", "acct"}, input,
                         {{"XDG_DATA_HOME", dataHome_.empty() ? data_.string() : dataHome_}});
    }
    fs::path storeDirectory() const { return data_ / "quorvane"; }
    fs::path store() const { return storeDirectory() / "keychain.sqlite3"; }

    // A store with one secret, made by the helper itself (private), for cases that spoil it.
    void storeEarlier() {
        RunResult stored = run("--secret-store", "earlier secret");
        ASSERT_EQ(stored.status, 0) << stored.err;
    }

    std::optional<TempDir> root_;
    fs::path data_;
    std::string dataHome_;  // XDG_DATA_HOME when it is not data_ itself
};

TEST_F(StorePlaceTest, RefusesEveryPlaceAnotherUserControls) {
    struct Case {
        const char* name;
        std::function<void(StorePlaceTest&)> prepare;
    };
    const Case cases[] = {
        {"data directory writable by others",
         [](StorePlaceTest& t) { ASSERT_EQ(chmod(t.data_.c_str(), 0777), 0); }},
        {"data directory writable by others, sticky",
         [](StorePlaceTest& t) { ASSERT_EQ(chmod(t.data_.c_str(), 01777), 0); }},
        {"data directory writable by a shared group",
         [](StorePlaceTest& t) {
             ASSERT_EQ(chown(t.data_.c_str(), 0, kOtherGroup), 0);
             ASSERT_EQ(chmod(t.data_.c_str(), 0770), 0);
         }},
        {"data directory owned by another user",
         [](StorePlaceTest& t) { ASSERT_EQ(chown(t.data_.c_str(), kOtherUser, 0), 0); }},
        {"store directory owned by another user",
         [](StorePlaceTest& t) { makeDirectory(t.storeDirectory(), 0700, kOtherUser); }},
        {"store directory writable by others",
         [](StorePlaceTest& t) { makeDirectory(t.storeDirectory(), 0777); }},
        {"store directory writable by a shared group",
         [](StorePlaceTest& t) { makeDirectory(t.storeDirectory(), 0770, 0, kOtherGroup); }},
        {"store file planted by another user",
         [](StorePlaceTest& t) {
             makeDirectory(t.storeDirectory(), 0700);
             makeFile(t.store(), "", 0666, kOtherUser);
         }},
        {"store file writable by others",
         [](StorePlaceTest& t) {
             t.storeEarlier();
             ASSERT_EQ(chmod(t.store().c_str(), 0622), 0);
         }},
        {"store directory linked into a shared directory",
         [](StorePlaceTest& t) {
             makeDirectory(t.base() / "shared", 01777);
             makeLink(t.base() / "shared", t.storeDirectory());
         }},
        {"store directory linked to a private directory inside a shared one",
         [](StorePlaceTest& t) {
             makeDirectory(t.base() / "shared", 0777);
             makeDirectory(t.base() / "shared" / "mine", 0700);
             makeLink(t.base() / "shared" / "mine", t.storeDirectory());
         }},
        {"store directory linked to another user's directory",
         [](StorePlaceTest& t) {
             makeDirectory(t.base() / "theirs", 0700, kOtherUser);
             makeLink(t.base() / "theirs", t.storeDirectory());
         }},
        {"store directory link made by another user",
         [](StorePlaceTest& t) {
             makeDirectory(t.base() / "private", 0700);
             makeLink(t.base() / "private", t.storeDirectory(), kOtherUser);
         }},
        {"store file linked to another user's file",
         [](StorePlaceTest& t) {
             makeDirectory(t.storeDirectory(), 0700);
             makeFile(t.base() / "theirs.sqlite3", "", 0600, kOtherUser);
             makeLink(t.base() / "theirs.sqlite3", t.store());
         }},
        {"store file linked into a shared directory",
         [](StorePlaceTest& t) {
             makeDirectory(t.storeDirectory(), 0700);
             makeDirectory(t.base() / "shared", 01777);
             makeFile(t.base() / "shared" / "keychain.sqlite3", "", 0600);
             makeLink(t.base() / "shared" / "keychain.sqlite3", t.store());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        c.prepare(*this);
        if (HasFatalFailure()) return;
        const fs::path planted = store();
        const bool hadFile = fs::exists(planted);
        const std::string before = hadFile ? fileBytes(planted) : "";

        RunResult stored = run("--secret-store", "the new secret");
        EXPECT_EQ(stored.status, 6);
        EXPECT_EQ(stored.out, "");
        EXPECT_EQ(stored.err, "keychain secret update failed: " + kNotPrivate + "\n");
        EXPECT_EQ(run("--secret-load").err, "keychain secret load failed: " + kNotPrivate + "\n");
        EXPECT_EQ(run("--secret-delete").err,
                  "keychain secret delete failed: " + kNotPrivate + "\n");
        EXPECT_EQ(filesHolding(base(), "the new secret"), std::vector<fs::path>{})
            << "the secret reached a file";
        if (hadFile) {
            EXPECT_TRUE(fileBytes(planted) == before) << "the refused store file was changed";
        }
    }
}

// An access ACL for kOtherUser with `permissions` (4 read, 6 read and write): owner rw-, that user,
// owning group ---, mask = `permissions`, others ---. The mode's group bits become the mask, while
// the group itself (root, the user's private group) has no access.
void grantThroughAcl(const fs::path& file, std::uint16_t permissions) {
    struct Entry {
        std::uint16_t tag, permissions;
        std::uint32_t id;
    };
    constexpr std::uint32_t kNoId = 0xFFFFFFFF;
    struct {
        std::uint32_t version = 2;
        Entry entries[5];
    } acl{2,
          {{0x01, 6, kNoId},
           {0x02, permissions, kOtherUser},
           {0x04, 0, kNoId},
           {0x10, permissions, kNoId},
           {0x20, 0, kNoId}}};
    if (setxattr(file.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) != 0) {
        if (errno == EOPNOTSUPP) GTEST_SKIP() << "no ACLs on this file system";
        FAIL() << "setxattr: " << std::strerror(errno);
    }
}

// A store of the user's own that others could only read is made private (0600, the ACL's mask
// emptied) and used: refusing it would only have left the secrets readable by them.
TEST_F(StorePlaceTest, AFileOthersCouldOnlyReadIsMadePrivateAndUsed) {
    struct Case {
        const char* name;
        std::function<void(StorePlaceTest&)> spoil;
    };
    const Case cases[] = {
        {"readable by others", [](StorePlaceTest& t) { chmod(t.store().c_str(), 0644); }},
        {"readable by a shared group",
         [](StorePlaceTest& t) {
             ASSERT_EQ(chown(t.store().c_str(), 0, kOtherGroup), 0);
             ASSERT_EQ(chmod(t.store().c_str(), 0640), 0);
         }},
        {"readable by another user through an ACL",
         [](StorePlaceTest& t) { grantThroughAcl(t.store(), 4); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        storeEarlier();
        c.spoil(*this);
        if (HasFatalFailure() || IsSkipped()) return;
        RunResult loaded = run("--secret-load");
        EXPECT_EQ(loaded.status, 0) << loaded.err;
        EXPECT_EQ(loaded.out, "earlier secret");
        struct stat info {};
        ASSERT_EQ(stat(store().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    }
}

// An ACL that lets another user write is refused, also where /proc cannot be read (a mount
// namespace without it), since the check asks the store's own descriptor.
TEST_F(StorePlaceTest, RefusesAFileAnotherUserMayWriteThroughAnAclWithOrWithoutProc) {
    fresh();
    storeEarlier();
    grantThroughAcl(store(), 6);
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string refused = "keychain secret load failed: " + kNotPrivate + "\n";
    EXPECT_EQ(run("--secret-load").err, refused);
#ifdef QUORVANE_TEST_SANITIZED
    // AddressSanitizer's own runtime needs /proc (it reads the stack's bounds there).
    GTEST_SKIP() << "the run without /proc needs a build without AddressSanitizer";
#endif

    RunResult withoutProc =
        runProgram("/usr/bin/unshare",
                   {"-m", "--propagation", "private", "/bin/sh", "-c",
                    "mount -t tmpfs none /proc && exec \"$0\" \"$@\"", QUORVANE_HELPER_PATH,
                    "--secret-load", "--service", "svc", "--account", "acct"},
                   "", {{"XDG_DATA_HOME", data_.string()}});
    if (withoutProc.err.find("unshare:") == 0 || withoutProc.err.find("mount:") == 0) {
        if (std::getenv("CI") == nullptr || std::string(std::getenv("CI")) != "true") {
            GTEST_SKIP() << "no mount namespace here: " << withoutProc.err;
        }
    }
    EXPECT_EQ(withoutProc.err, refused);
}

TEST_F(StorePlaceTest, LinksToPrivatePlacesOfTheUserKeepWorking) {
    struct Case {
        const char* name;
        std::function<fs::path(StorePlaceTest&)> prepare;  // returns where the store must end up
    };
    const Case cases[] = {
        {"store directory linked to a private directory",
         [](StorePlaceTest& t) {
             makeDirectory(t.base() / "elsewhere", 0700);
             makeDirectory(t.base() / "elsewhere" / "store", 0700);
             makeLink(t.base() / "elsewhere" / "store", t.storeDirectory());
             return t.base() / "elsewhere" / "store" / "keychain.sqlite3";
         }},
        {"store file linked to a private file",
         [](StorePlaceTest& t) {
             makeDirectory(t.storeDirectory(), 0700);
             makeDirectory(t.base() / "vault", 0700);
             makeFile(t.base() / "vault" / "keys.sqlite3", "", 0600);
             makeLink(t.base() / "vault" / "keys.sqlite3", t.store());
             return t.base() / "vault" / "keys.sqlite3";
         }},
        {"data directory reached through a link",
         [](StorePlaceTest& t) {
             makeLink(t.data_, t.base() / "data-link");
             t.dataHome_ = (t.base() / "data-link").string();
             return t.store();
         }},
        {"data directory writable by the user's private group",
         [](StorePlaceTest& t) {
             // root's group is root, named after it and with no other member.
             EXPECT_EQ(chmod(t.data_.c_str(), 0770), 0);
             return t.store();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        const fs::path expected = c.prepare(*this);
        if (HasFatalFailure()) return;
        RunResult stored = run("--secret-store", "kept here");
        EXPECT_EQ(stored.status, 0) << stored.err;
        RunResult loaded = run("--secret-load");
        EXPECT_EQ(loaded.out, "kept here") << loaded.err;
        EXPECT_EQ(filesHolding(base(), "kept here"), std::vector<fs::path>{expected});
    }
}

}  // namespace
}  // namespace quorvane::testing
