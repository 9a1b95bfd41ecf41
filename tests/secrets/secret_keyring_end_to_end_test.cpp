// The secret commands through the built helper on a desktop session: a private session bus with
// a real gnome-keyring-daemon (or with no Secret Service at all), a temporary HOME, one helper
// process per operation as the application runs them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/helper_process.h"
#include "support/session_keyring.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

// BusCalls records, for as long as it lives, every call of the given methods made on the
// session's bus, as dbus-monitor prints them: by default the requests for an item's value
// (Item.GetSecret, Service.GetSecrets).
class BusCalls {
  public:
    explicit BusCalls(const SessionKeyring& session,
                      const std::vector<std::string>& members = {"GetSecret", "GetSecrets"})
        : log_(session.home() + "/bus-calls.log") {
        const EnvironmentOverrides environment = session.environment();
        std::vector<std::string> arguments = {"--address",
                                              environment.at("DBUS_SESSION_BUS_ADDRESS")};
        for (const std::string& member : members) {
            arguments.push_back("type='method_call',member='" + member + "'");
        }
        std::filesystem::remove(log_);
        monitor_ = startProgram("/usr/bin/dbus-monitor", arguments, environment, "", log_);
        // A monitor announces itself by the loss of its own name.
        for (int i = 0; i < 500 && fileBytes(log_).find("NameLost") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~BusCalls() { stopProgram(monitor_); }
    BusCalls(const BusCalls&) = delete;
    BusCalls& operator=(const BusCalls&) = delete;

    std::string seen() const { return fileBytes(log_); }
    // count is how many calls of `member` were seen.
    std::size_t count(const std::string& member) const {
        std::string all = seen();
        std::size_t found = 0;
        for (std::size_t at = all.find("member=" + member + "\n"); at != std::string::npos;
             at = all.find("member=" + member + "\n", at + 1)) {
            ++found;
        }
        return found;
    }

  private:
    std::string log_;
    pid_t monitor_;
};

// The object path of the one item `secret-tool search --all` lists for `attributes`.
std::string itemPath(const SessionKeyring& session, std::vector<std::string> attributes) {
    attributes.insert(attributes.begin(), {"search", "--all"});
    RunResult listed = session.secretTool(attributes);
    std::string all = listed.out + listed.err;
    std::size_t open = all.find("[/");
    std::size_t close = all.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return "";
    return all.substr(open + 1, close - open - 1);
}

class SecretKeyringTest : public ::testing::Test {
  protected:
    RunResult run(const std::string& mode, const std::string& service, const std::string& account,
                  const std::string& input = "", bool withBus = true) {
        EnvironmentOverrides environment = session.environment();
        // No bus named, none at the runtime directory's standard place: a login without a
        // desktop session (SSH, cron) on the same account.
        if (!withBus) environment["DBUS_SESSION_BUS_ADDRESS"] = "";
        return runHelper({mode, "--service", service, "--account", account}, input, environment);
    }
    RunResult store(const std::string& service, const std::string& account,
                    const std::string& value, bool withBus = true) {
        return run("--secret-store", service, account, value, withBus);
    }
    RunResult load(const std::string& service, const std::string& account, bool withBus = true) {
        return run("--secret-load", service, account, "", withBus);
    }
    RunResult remove(const std::string& service, const std::string& account) {
        return run("--secret-delete", service, account);
    }
    std::string lookup(const std::string& service, const std::string& account) {
        return session.secretTool({"lookup", "--", "service", service, "account", account}).out;
    }
    std::filesystem::path fileStore() const { return storeFile(session.home() + "/.local/share"); }
    static void expectOk(const RunResult& result) {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "ok");
        EXPECT_EQ(result.err, "");
    }
    static void expectFailure(const RunResult& result, const std::string& message) {
        EXPECT_EQ(result.status, 6);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, message + "\n");
    }

    SessionKeyring session;
};

TEST_F(SecretKeyringTest, SecretsLiveInTheKeyringBothWays) {
    expectOk(store("quorvane.vault", "alice", "from the helper\n"));
    EXPECT_EQ(lookup("quorvane.vault", "alice"), "from the helper\n");
    EXPECT_FALSE(std::filesystem::exists(fileStore())) << "nothing in the file store";

    session.secretTool(
        {"store", "--label=set by hand", "service", "quorvane.vault", "account", "bob"},
        "from secret-tool");
    RunResult loaded = load("quorvane.vault", "bob");
    EXPECT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "from secret-tool");

    expectOk(store("quorvane.vault", "bob", "replaced"));
    EXPECT_EQ(lookup("quorvane.vault", "bob"), "replaced");
    expectOk(remove("quorvane.vault", "bob"));
    EXPECT_EQ(lookup("quorvane.vault", "bob"), "");
    expectFailure(load("quorvane.vault", "bob"), "keychain secret missing");
    expectOk(remove("quorvane.vault", "bob"));
}

TEST_F(SecretKeyringTest, LockedKeyringFailsWithItsOwnMessage) {
    expectOk(store("svc", "there", "v"));
    session.lock();
    expectFailure(load("svc", "there"), "keychain secret load failed: the keyring is locked");
    expectFailure(load("svc", "absent"), "keychain secret load failed: the keyring is locked");
    expectFailure(store("svc", "there", "w"),
                  "keychain secret update failed: the keyring is locked");
    expectFailure(store("svc", "absent", "w"),
                  "keychain secret store failed: the keyring is locked");
    expectFailure(remove("svc", "there"), "keychain secret delete failed: the keyring is locked");
    session.unlock();
    EXPECT_EQ(load("svc", "there").out, "v");
}

// A keyring that is there but does not answer (the Secret Service's name is owned, and nothing
// ever replies, as with a stopped, wedged or swapped-out daemon) is a failure on every command,
// never "missing", and nothing goes to the file store meanwhile: an application that believed
// "missing" would store the secret again, into a place the person never chose.
TEST(SecretWithStalledKeyring, EveryCommandFailsAndNothingIsWrittenElsewhere) {
    SessionKeyring session(SessionKeyring::Provider::silent);
    const std::string stalled = "the Secret Service did not answer within 5 seconds";
    struct Case {
        std::string mode, input, expected;
    };
    const Case cases[] = {
        {"--secret-load", "", "keychain secret load failed: " + stalled},
        {"--secret-store", "new", "keychain secret store failed: " + stalled},
        {"--secret-delete", "", "keychain secret delete failed: " + stalled},
    };
    for (const Case& c : cases) {
        RunResult result = runHelper({c.mode, "--service", "quorvane.vault", "--account", "alice"},
                                     c.input, session.environment());
        EXPECT_EQ(result.status, 6) << c.mode;
        EXPECT_EQ(result.out, "") << c.mode;
        EXPECT_EQ(result.err, c.expected + "\n") << c.mode;
    }
    EXPECT_FALSE(std::filesystem::exists(storeFile(session.home() + "/.local/share")))
        << "nothing was written elsewhere";
}

// Another program may keep an item under its own schema with the same service and account. It is
// never read, replaced, relabelled or deleted; an item typed in by hand (no schema) is ours to
// use, and keeps the label the person gave it.
TEST_F(SecretKeyringTest, OtherProgramsItemsAreLeftAloneAndHandTypedLabelsKept) {
    const std::vector<std::string> theirs = {"xdg:schema",       "org.example.Mail", "service",
                                             "com.example.mail", "account",          "dave"};
    std::vector<std::string> storeTheirs = {"store", "--label=Typed by hand"};
    storeTheirs.insert(storeTheirs.end(), theirs.begin(), theirs.end());
    session.secretTool(storeTheirs, "their value");
    std::vector<std::string> lookupTheirs = {"lookup"};
    lookupTheirs.insert(lookupTheirs.end(), theirs.begin(), theirs.end());
    const std::string theirPath = itemPath(session, theirs);
    ASSERT_NE(theirPath, "");

    {
        // Not even fetched: the value of another program's item never reaches the helper.
        BusCalls requests(session);
        expectFailure(load("com.example.mail", "dave"), "keychain secret missing");
        expectOk(store("com.example.mail", "dave", "our value"));
        expectOk(store("com.example.mail", "dave", "our newer value"));
        EXPECT_EQ(load("com.example.mail", "dave").out, "our newer value");
        expectOk(remove("com.example.mail", "dave"));
        const std::string seen = requests.seen();
        EXPECT_NE(seen.find("member=GetSecret"), std::string::npos) << "the monitor saw no request";
        EXPECT_EQ(seen.find(theirPath), std::string::npos) << seen;
    }
    EXPECT_EQ(session.secretTool(lookupTheirs).out, "their value");
    std::string listed = session.secretTool({"search", "--all", "account", "dave"}).out +
                         session.secretTool({"search", "--all", "account", "dave"}).err;
    EXPECT_NE(listed.find("label = Typed by hand"), std::string::npos) << listed;

    session.secretTool({"store", "--label=My own note", "service", "notes", "account", "me"}, "a");
    expectOk(store("notes", "me", "b"));
    EXPECT_EQ(lookup("notes", "me"), "b");
    std::string mine = session.secretTool({"search", "--all", "service", "notes"}).out +
                       session.secretTool({"search", "--all", "service", "notes"}).err;
    EXPECT_NE(mine.find("label = My own note"), std::string::npos) << mine;
}

TEST_F(SecretKeyringTest, SecretStoredInTheFileStoreMovesIntoTheKeyringAtItsNextStore) {
    // Stored where the session had no keyring to offer.
    expectOk(store("svc", "acct", "from before", false));
    EXPECT_TRUE(std::filesystem::exists(fileStore()));
    EXPECT_EQ(lookup("svc", "acct"), "");

    // With the keyring: found, and moved into it by that load.
    EXPECT_EQ(load("svc", "acct").out, "from before");
    EXPECT_EQ(lookup("svc", "acct"), "from before");
    expectOk(store("svc", "acct", "after"));
    EXPECT_EQ(lookup("svc", "acct"), "after");
    expectFailure(load("svc", "acct", false), "keychain secret missing");
    EXPECT_EQ(load("svc", "acct").out, "after");

    // A delete removes both copies.
    expectOk(store("svc", "both", "old", false));
    session.secretTool({"store", "--label=x", "service", "svc", "account", "both"}, "other");
    expectOk(remove("svc", "both"));
    expectFailure(load("svc", "both"), "keychain secret missing");
    expectFailure(load("svc", "both", false), "keychain secret missing");
}

// When a secret has a copy in the file store (stored while there was no session bus) and one in
// the keyring, the newer wins, and the first load with the keyring settles them: the file copy
// moves in when newer and is deleted when older, so no plaintext copy is left behind. The
// keyring keeps whole seconds, hence the pauses.
TEST_F(SecretKeyringTest, TheNewerCopyWinsAndTheLoadLeavesNoPlaintextBehind) {
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };

    expectOk(store("svc", "rotated", "stored without a bus", false));
    pause();
    session.secretTool({"store", "--label=rotated", "service", "svc", "account", "rotated"},
                       "rotated in the keyring");
    EXPECT_EQ(load("svc", "rotated").out, "rotated in the keyring");
    expectFailure(load("svc", "rotated", false), "keychain secret missing");
    EXPECT_EQ(lookup("svc", "rotated"), "rotated in the keyring");

    expectOk(store("svc", "later", "in the keyring"));
    pause();
    expectOk(store("svc", "later", "stored without a bus", false));
    EXPECT_EQ(load("svc", "later").out, "stored without a bus");
    EXPECT_EQ(lookup("svc", "later"), "stored without a bus");
    expectFailure(load("svc", "later", false), "keychain secret missing");

    std::string file = fileBytes(fileStore());
    for (const char* value : {"stored without a bus", "in the keyring"}) {
        EXPECT_EQ(file.find(value), std::string::npos) << value << " is still in the file store";
    }
}

// A one-shot command connects to the session bus once: the check for a keyring and the keyring
// library share the connection (each connection costs an authentication and a Hello).
TEST_F(SecretKeyringTest, OneShotCommandsConnectToTheSessionBusOnce) {
    expectOk(store("svc", "acct", "first"));
    for (const char* mode : {"--secret-store", "--secret-load", "--secret-delete"}) {
        BusCalls hellos(session, {"Hello"});
        RunResult result = run(mode, "svc", "acct", "value");
        EXPECT_EQ(result.status, 0) << mode << ": " << result.err;
        EXPECT_EQ(hellos.count("Hello"), 1u) << mode << "\n" << hellos.seen();
    }
}

// A value beyond what the process may lock leaves libsecret without locked memory too. It keeps
// the value in ordinary memory (wiped all the same), and the command, which succeeded, still
// writes nothing on standard error: a caller takes any text there for a failure.
TEST_F(SecretKeyringTest, ValueBeyondTheLockLimitIsStoredWithoutAWord) {
    std::string value;
    for (int i = 0; value.size() < (1u << 20); ++i) value += std::to_string(i) + ",";
    // Root may lock beyond the limit; without CAP_IPC_LOCK it is held to it like anyone else.
    std::vector<std::string> limited = {"--memlock=65536:65536"};
    if (geteuid() == 0) {
        limited.insert(limited.end(), {"/usr/bin/setpriv", "--bounding-set=-ipc_lock"});
    }
    auto command = [&](const char* mode) {
        std::vector<std::string> arguments = limited;
        arguments.insert(arguments.end(),
                         {QUORVANE_HELPER_PATH, mode, "--service", "big", "--account", "acct"});
        return arguments;
    };
    RunResult stored =
        runProgram("/usr/bin/prlimit", command("--secret-store"), value, session.environment());
    expectOk(stored);
    RunResult loaded =
        runProgram("/usr/bin/prlimit", command("--secret-load"), "", session.environment());
    EXPECT_EQ(loaded.status, 0);
    EXPECT_EQ(loaded.err, "");
    EXPECT_TRUE(loaded.out == value)
        << "the value came back changed, " << loaded.out.size() << " bytes";
}

TEST_F(SecretKeyringTest, SixteenHelpersStoringAtOnceLoseNothing) {
    constexpr int kHelpers = 16;
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < kHelpers; ++i) {
        std::string account = i % 2 == 0 ? "shared" : "own-" + std::to_string(i);
        runs.push_back(std::async(std::launch::async, [this, account, i] {
            return store("svc", account, "value " + std::to_string(i));
        }));
    }
    for (auto& run : runs) expectOk(run.get());
    for (int i = 1; i < kHelpers; i += 2) {
        EXPECT_EQ(load("svc", "own-" + std::to_string(i)).out, "value " + std::to_string(i));
    }
    std::set<std::string> written;
    for (int i = 0; i < kHelpers; i += 2) written.insert("value " + std::to_string(i));
    std::string shared = load("svc", "shared").out;
    EXPECT_TRUE(written.count(shared)) << shared;
    EXPECT_EQ(lookup("svc", "shared"), shared);
}

TEST(SecretWithoutKeyring, NoSecretServiceOnTheBusUsesTheFileStore) {
    SessionKeyring session(SessionKeyring::Provider::none);
    RunResult stored = runHelper({"--secret-store", "--service", "svc", "--account", "acct"},
                                 "in the file", session.environment());
    EXPECT_EQ(stored.status, 0) << stored.err;
    EXPECT_EQ(stored.out, "ok");
    EXPECT_TRUE(std::filesystem::exists(storeFile(session.home() + "/.local/share")));
    RunResult loaded = runHelper({"--secret-load", "--service", "svc", "--account", "acct"}, "",
                                 session.environment());
    EXPECT_EQ(loaded.out, "in the file");
}

}  // namespace
}  // namespace quorvane::testing
