// Many helper processes on one store at once, and helpers killed in the middle of a store: no
// operation may fail because of another, no completed store may be lost, no value may be mixed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

// A value that shows its origin and can be checked whole: a header naming writer and round, then
// a body derived from the header. A mixed or cut value fails wellFormed.
std::string makeValue(int writer, int round, std::size_t bodySize) {
    std::string header = "w" + std::to_string(writer) + "r" + std::to_string(round) + ":";
    std::string value = header;
    while (value.size() < header.size() + bodySize) value += header;
    return value + "\n";
}

// journalBytes is the size of the store's rollback journal; 0 when there is none.
std::uintmax_t journalBytes(const std::filesystem::path& journal) {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(journal, error);
    return error ? 0 : size;
}

bool wellFormed(const std::string& value) {
    std::size_t colon = value.find(':');
    if (colon == std::string::npos || value.empty() || value.back() != '\n') return false;
    std::string header = value.substr(0, colon + 1);
    std::string body = value.substr(0, value.size() - 1);
    for (std::size_t at = 0; at < body.size(); at += header.size()) {
        if (body.compare(at, header.size(), header) != 0) return false;
    }
    return body.size() % header.size() == 0;
}

TEST(SecretConcurrencyTest, ParallelHelpersNeitherFailNorLoseNorMixValues) {
    constexpr int kWriters = 24;
    constexpr int kRounds = 6;
    TempDir home;
    const EnvironmentOverrides environment = {{"XDG_DATA_HOME", home.path()}};
    auto command = [&](const std::string& mode, const std::string& account,
                       const std::string& input = "") {
        return runHelper({mode, "--service", "concurrency", "--account", account}, input,
                         environment);
    };

    std::mutex mutex;
    std::vector<std::string> problems;
    auto problem = [&](std::string text) {
        std::lock_guard lock(mutex);
        problems.push_back(std::move(text));
    };
    std::vector<std::string> lastStored(kWriters);

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            const std::string own = "own-" + std::to_string(w);
            for (int round = 0; round < kRounds; ++round) {
                // A name of its own: what it stored last is what it loads.
                std::string value = makeValue(w, round, 2000 + 97 * w);
                RunResult stored = command("--secret-store", own, value);
                if (stored.status != 0 || stored.out != "ok")
                    problem("own store: " + stored.err);
                else
                    lastStored[w] = value;
                RunResult loaded = command("--secret-load", own);
                if (loaded.status != 0 || loaded.out != lastStored[w]) {
                    problem("own load: " + loaded.err);
                }

                // One name shared by everyone: any complete value, or none after a delete.
                RunResult shared = command("--secret-store", "shared", makeValue(w, round, 3000));
                if (shared.status != 0) problem("shared store: " + shared.err);
                RunResult seen = command("--secret-load", "shared");
                if (seen.status == 0 ? !wellFormed(seen.out)
                                     : seen.err != "keychain secret missing\n") {
                    problem("shared load: " + seen.err);
                }
                if (round % 3 == 2) {
                    RunResult removed = command("--secret-delete", "shared");
                    if (removed.status != 0 || removed.out != "ok") {
                        problem("shared delete: " + removed.err);
                    }
                }
            }
        });
    }
    for (auto& writer : writers) writer.join();

    EXPECT_TRUE(problems.empty()) << problems.size() << " problems, first: " << problems.front();
    for (int w = 0; w < kWriters; ++w) {
        RunResult loaded = command("--secret-load", "own-" + std::to_string(w));
        EXPECT_EQ(loaded.status, 0);
        EXPECT_TRUE(loaded.out == lastStored[w]) << "writer " << w << " lost its last store";
    }
    StoreDatabase db(storeFile(home.path()));
    EXPECT_EQ(db.text("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(db.text("SELECT count(*) FROM generic_passwords WHERE account != "
                      "CAST('shared' AS BLOB)"),
              std::to_string(kWriters));
}

TEST(SecretConcurrencyTest, HelperKilledDuringAStoreLeavesTheOldOrTheNewValue) {
    TempDir home;
    const EnvironmentOverrides environment = {{"XDG_DATA_HOME", home.path()}};
    const std::vector<std::string> item = {"--service", "kill", "--account", "item"};
    auto withMode = [&](const std::string& mode) {
        std::vector<std::string> arguments{mode};
        arguments.insert(arguments.end(), item.begin(), item.end());
        return arguments;
    };
    std::string committed = makeValue(0, 0, 100);
    ASSERT_EQ(runHelper(withMode("--secret-store"), committed, environment).status, 0);

    std::mt19937 random(20240611);
    std::set<std::string> possible = {committed};
    const std::filesystem::path journal = storeFile(home.path()).string() + "-journal";
    int killedMidTransaction = 0;
    for (int round = 1; round <= 25; ++round) {
        // Large values make the write long enough for a kill to land inside it now and then.
        std::string value = makeValue(round, round, (1 << 20) + round);
        {
            ServingHelper helper(environment, withMode("--secret-store"));
            helper.send(value);
            helper.closeInput();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
            kill(helper.pid(), SIGKILL);
            helper.wait();
        }
        if (journalBytes(journal) > 0) ++killedMidTransaction;
        possible.insert(value);
        RunResult loaded = runHelper(withMode("--secret-load"), "", environment);
        ASSERT_EQ(loaded.status, 0) << loaded.err;
        ASSERT_TRUE(wellFormed(loaded.out)) << "round " << round << ": a mixed or cut value";
        ASSERT_TRUE(possible.count(loaded.out) == 1) << "round " << round;
        // What a load saw is committed: later rounds may only replace it, never bring back older.
        possible = {loaded.out};
    }
    // How often the kill landed inside a transaction; timing-dependent, so shown, not checked.
    RecordProperty("killedMidTransaction", killedMidTransaction);
    StoreDatabase db(storeFile(home.path()));
    EXPECT_EQ(db.text("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(db.text("SELECT count(*) FROM generic_passwords"), "1");
}

TEST(SecretConcurrencyTest, HelperKilledWhileWaitingToCommitLeavesTheOldValue) {
    TempDir home;
    const EnvironmentOverrides environment = {{"XDG_DATA_HOME", home.path()}};
    const std::vector<std::string> store = {"--secret-store", "--service", "kill", "--account",
                                            "x"};
    const std::vector<std::string> load = {"--secret-load", "--service", "kill", "--account", "x"};
    ASSERT_EQ(runHelper(store, "old value", environment).status, 0);

    // A reader holding the store keeps the writer from committing: it has journalled its change
    // and waits for the write lock when it is killed.
    const std::filesystem::path path = storeFile(home.path());
    StoreDatabase reader(path);
    reader.text("BEGIN");
    reader.text("SELECT count(*) FROM generic_passwords");
    {
        ServingHelper helper(environment, store);
        helper.send("new value");
        helper.closeInput();
        const std::filesystem::path journal = path.string() + "-journal";
        for (int i = 0; i < 5000 && journalBytes(journal) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(journalBytes(journal), 0u) << "the store never started";
        kill(helper.pid(), SIGKILL);
        EXPECT_EQ(helper.wait(), 128 + SIGKILL);
    }
    reader.text("COMMIT");

    RunResult loaded = runHelper(load, "", environment);
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "old value");
    EXPECT_EQ(runHelper(store, "new value", environment).status, 0) << "the store still works";
    EXPECT_EQ(runHelper(load, "", environment).out, "new value");
}

}  // namespace
}  // namespace quorvane::testing
