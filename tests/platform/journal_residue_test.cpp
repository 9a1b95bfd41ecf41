// Old values must not survive in the rollback journal. A transaction journals the old contents of
// every page it changes, so a replaced or deleted secret passes through the journal, which is
// unlinked at commit. Unlinking alone leaves the bytes in the file system's free blocks; the test
// sees what those blocks hold by keeping a second name (a hard link) for the journal while the
// helper works, and reading it after the helper deleted its own name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;

TEST(JournalResidueTest, ReplacedAndDeletedValuesAreGoneFromTheRemovedJournal) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string input;
    };
    const std::string oldValue = "old secret 7f3a9c21e4b85d06";
    const Case cases[] = {
        {"replaced", {"--secret-store", "--service", "s", "--account", "a"}, "the new value"},
        {"deleted", {"--secret-delete", "--service", "s", "--account", "a"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home;
        const EnvironmentOverrides environment = {{"XDG_DATA_HOME", home.path()}};
        ASSERT_EQ(
            runHelper({"--secret-store", "--service", "s", "--account", "a"}, oldValue, environment)
                .status,
            0);
        const fs::path store = storeFile(home.path());
        const fs::path journal = store.string() + "-journal";
        const fs::path kept = fs::path(home.path()) / "kept-journal";

        // A reader keeps the helper from committing: it has journalled the old page and waits
        // for the write lock, so the journal can be given its second name.
        StoreDatabase reader(store);
        reader.text("BEGIN");
        reader.text("SELECT count(*) FROM generic_passwords");
        {
            ServingHelper helper(environment, c.arguments);
            helper.send(c.input);
            helper.closeInput();
            bool linked = false;
            for (int i = 0; i < 5000 && !linked; ++i) {
                std::error_code error;
                if (fs::file_size(journal, error) > 0 && !error) {
                    linked = link(journal.c_str(), kept.c_str()) == 0;
                }
                if (!linked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(linked) << "the helper never journalled its change";
            // The journal's header is written before the old page: wait for the page too.
            bool journalled = false;
            for (int i = 0; i < 5000 && !journalled; ++i) {
                journalled = fileBytes(kept).find(oldValue) != std::string::npos;
                if (!journalled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_TRUE(journalled)
                << "the journal should hold the old value while the change is pending";
            reader.text("COMMIT");
            EXPECT_EQ(helper.wait(), 0);
        }
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_EQ(fileBytes(kept).find(oldValue), std::string::npos)
            << "the removed journal still holds the old value";
        EXPECT_EQ(fileBytes(store).find(oldValue), std::string::npos)
            << "the store file still holds the old value";
    }
}

// A helper killed while it zeroes its journal (its sync held open by fault injection) leaves a
// journal whose header is zero and whose body still holds the replaced value. SQLite neither rolls
// such a journal back nor removes it; the next helper to open the store must wipe and remove it.
TEST(JournalResidueTest, AJournalLeftByAHelperKilledWhileWipingItIsRemovedAtTheNextOpen) {
    if (!fs::exists("/usr/bin/strace")) {
        if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true") {
            FAIL() << "strace is missing; scripts/install-deps.sh installs it";
        }
        GTEST_SKIP() << "no strace for the fault injection";
    }
    const std::string oldValue = "old secret 7f3a9c21e4b85d06";
    TempDir home;
    const EnvironmentOverrides environment = {{"XDG_DATA_HOME", home.path()}};
    ASSERT_EQ(
        runHelper({"--secret-store", "--service", "s", "--account", "a"}, oldValue, environment)
            .status,
        0);
    const fs::path store = storeFile(home.path());
    const fs::path journal = store.string() + "-journal";

    // The fifth sync is the one after the journal's header was zeroed: it is held for 3 s, and
    // the helper is killed once the header reads as zero.
    const std::string script = R"sh(
        pidfile="$1"; journal="$2"; shift 2
        printf 'the new value' | strace -f -o /dev/null \
            -e inject=fdatasync:delay_exit=3000000:when=5 \
            /bin/sh -c 'echo $$ > "$0"; exec "$@"' "$pidfile" "$@" &
        for i in $(seq 1 400); do
            if [ -s "$journal" ] && [ "$(head -c 28 "$journal" | tr -d '\000' | wc -c)" -eq 0 ]; then
                kill -KILL "$(cat "$pidfile")"; wait; echo killed; exit 0
            fi
            sleep 0.01
        done
        wait; echo "not caught"; exit 1)sh";
    const std::string pidfile = home.path() + "/helper.pid";
    RunResult injected =
        runProgram("/bin/bash",
                   {"-c", script, "inject", pidfile, journal.string(), QUORVANE_HELPER_PATH,
                    "--secret-store", "--service", "s", "--account", "a"},
                   "", environment);
    ASSERT_EQ(injected.out, "killed\n") << injected.err;
    ASSERT_TRUE(fs::exists(journal));
    ASSERT_NE(fileBytes(journal).find(oldValue), std::string::npos)
        << "the residue this test is about: a zero header over the old value";

    RunResult loaded =
        runHelper({"--secret-load", "--service", "s", "--account", "a"}, "", environment);
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "the new value");
    EXPECT_FALSE(fs::exists(journal));
    for (const auto& entry : fs::recursive_directory_iterator(home.path())) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(fileBytes(entry.path()).find(oldValue), std::string::npos) << entry.path();
        }
    }
}

}  // namespace
}  // namespace quorvane::testing
