// The key service's state directory: the files are named by uid and kind, closed to everyone
// else, replaced whole, and anything in their place that this service did not write is refused
// rather than read as a key.
#include "keyd/key_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/helper_process.h"
#include "support/requirements.h"

namespace quorvane::keyd {
namespace {

using testing::TempDir;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
}

void writeFile(const std::string& path, const std::string& contents, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary) << contents;
    chmod(path.c_str(), mode);
}

std::string text(const std::optional<SecretBytes>& bytes) {
    if (!bytes) return "<none>";
    return std::string(bytes->span().begin(), bytes->span().end());
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class KeyFilesTest : public ::testing::Test {
  protected:
    std::string state() const { return root_.path() + "/state"; }
    std::string file(const std::string& name) const { return state() + "/" + name; }
    TempDir root_;
};

TEST_F(KeyFilesTest, MakesAClosedDirectoryAndFilesOnePerUserAndKind) {
    KeyFiles files(state());
    EXPECT_EQ(modeOf(state()), 0700u);
    files.write(1000, KeyKind::tpm, bytesOf("tpm key of 1000"));
    files.write(1000, KeyKind::software, bytesOf("software key of 1000"));
    files.write(1001, KeyKind::tpm, bytesOf("tpm key of 1001"));

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(state())) {
        names.push_back(entry.path().filename());
        EXPECT_EQ(modeOf(entry.path()), 0600u) << entry.path();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1000.software", "1000.tpm", "1001.tpm"}));
    EXPECT_EQ(text(files.read(1000, KeyKind::tpm)), "tpm key of 1000");
    EXPECT_EQ(text(files.read(1000, KeyKind::software)), "software key of 1000");
    EXPECT_EQ(text(files.read(1001, KeyKind::software)), "<none>");
    EXPECT_EQ(text(files.read(1002, KeyKind::tpm)), "<none>");
}

TEST_F(KeyFilesTest, AWriteReplacesTheWholeFileAndLeavesNothingBeside) {
    KeyFiles files(state());
    files.write(7, KeyKind::tpm, bytesOf("a longer first version of the key"));
    // What a write cut short by a crash left behind is not in the way of the next one.
    writeFile(file("7.tpm.new"), "half");
    files.write(7, KeyKind::tpm, bytesOf("second"));
    EXPECT_EQ(text(files.read(7, KeyKind::tpm)), "second");
    EXPECT_FALSE(std::filesystem::exists(file("7.tpm.new")));
}

TEST_F(KeyFilesTest, RemoveDeletesOneKindAndAMissingFileIsSuccess) {
    KeyFiles files(state());
    files.write(7, KeyKind::tpm, bytesOf("tpm"));
    files.write(7, KeyKind::software, bytesOf("software"));
    files.remove(7, KeyKind::tpm);
    files.remove(7, KeyKind::tpm);
    files.remove(8, KeyKind::software);
    EXPECT_EQ(text(files.read(7, KeyKind::tpm)), "<none>");
    EXPECT_EQ(text(files.read(7, KeyKind::software)), "software");
}

// Things in a key file's place that this service never writes: each is refused, not read.
TEST_F(KeyFilesTest, RefusesWhatItDidNotWrite) {
    KeyFiles files(state());
    TempDir elsewhere;
    writeFile(elsewhere.path() + "/secret", "someone else's file");
    const struct {
        const char* what;
        std::function<void(const std::string&)> make;
    } cases[] = {
        {"an empty file", [](const std::string& p) { writeFile(p, ""); }},
        {"a file larger than any key",
         [](const std::string& p) { writeFile(p, std::string(4097, 'k')); }},
        {"a directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }},
        {"a link to a file elsewhere",
         [&](const std::string& p) {
             ASSERT_EQ(symlink((elsewhere.path() + "/secret").c_str(), p.c_str()), 0);
         }},
        {"a pipe", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
    };
    uid_t user = 100;
    for (const auto& c : cases) {
        c.make(file(std::to_string(user) + ".tpm"));
        EXPECT_THROW(files.read(user, KeyKind::tpm), KeyFileError) << c.what;
        ++user;
    }
}

TEST_F(KeyFilesTest, AFileOfAnotherOwnerIsRefused) {
    SKIP_WITHOUT_ROOT("giving a file to another user needs root");
    KeyFiles files(state());
    writeFile(file("5.software"), std::string(32, 's'));
    ASSERT_EQ(chown(file("5.software").c_str(), 12345, 12345), 0);
    EXPECT_THROW(files.read(5, KeyKind::software), KeyFileError);
}

TEST_F(KeyFilesTest, RefusesADirectoryOthersCanReachOrThatIsNotOurs) {
    const struct {
        const char* what;
        mode_t mode;
        bool otherOwner;
    } cases[] = {
        {"group may enter", 0710, false},
        {"others may read", 0704, false},
        {"everyone may write", 0777, false},
        {"another user's", 0700, true},
    };
    for (const auto& c : cases) {
        if (c.otherOwner && geteuid() != 0) continue;  // only root can give it away
        TempDir root;
        const std::string path = root.path() + "/state";
        ASSERT_EQ(mkdir(path.c_str(), c.mode), 0);
        chmod(path.c_str(), c.mode);
        if (c.otherOwner) {
            ASSERT_EQ(chown(path.c_str(), 12345, 12345), 0);
        }
        EXPECT_THROW(KeyFiles files(path), KeyFileError) << c.what;
    }
    TempDir root;
    writeFile(root.path() + "/plain", "not a directory");
    EXPECT_THROW(KeyFiles files(root.path() + "/plain"), KeyFileError);
    ASSERT_EQ(symlink(state().c_str(), (root.path() + "/link").c_str()), 0);
    ASSERT_EQ(mkdir(state().c_str(), 0700), 0);
    EXPECT_THROW(KeyFiles files(root.path() + "/link"), KeyFileError) << "a link to a directory";
}

}  // namespace
}  // namespace quorvane::keyd
