// The keyring item store against a real gnome-keyring-daemon on a private session bus. Each
// operation runs in a process of its own (item_store_tool), as the helper's one-shot commands do.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <vector>

#include "support/session_keyring.h"

namespace quorvane::testing {
namespace {

RunResult tool(const SessionKeyring& session, std::vector<std::string> arguments,
               const std::string& input = "") {
    return runProgram(QUORVANE_ITEM_STORE_TOOL_PATH, arguments, input, session.environment());
}

std::string valueOf(const RunResult& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

// Items of the keyring matching `attributes`, as `secret-tool search --all` lists them.
std::size_t itemCount(const SessionKeyring& session, std::vector<std::string> attributes) {
    attributes.insert(attributes.begin(), {"search", "--all"});
    std::string listing = "\n" + session.secretTool(attributes).out;
    std::size_t count = 0;
    for (std::size_t at = listing.find("\nlabel = "); at != std::string::npos;
         at = listing.find("\nlabel = ", at + 1)) {
        ++count;
    }
    return count;
}

struct Case {
    const char* what;
    std::string service;
    std::string account;
    std::string value;
};

// Names the desktop's tools can type, and values a vault keeps: text, a line feed at the end,
// bytes that are not UTF-8 (with a zero byte), one byte.
const std::vector<Case> kCases = {
    {"plain text", "quorvane.test", "alice", "correct horse battery staple"},
    {"line feed kept", "quorvane.test", "bob", "line\n"},
    {"not UTF-8", "quorvane.test", "binary", std::string("\xff\x00\xfe\x01\x80", 5)},
    {"one byte", "s", "a", "x"},
    {"names with spaces, quotes, = and non-ASCII", " sp ace=\"q\" ", "Ünïcødé 名前 'x'", "v"},
    {"names that look like flags", "--service", "--account", "flags"},
};

TEST(SecretServiceItemStore, HelperStoresWhatSecretToolLooksUp) {
    SessionKeyring session;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        RunResult stored = tool(session, {"store", c.service, c.account}, c.value);
        ASSERT_EQ(stored.status, 0) << stored.err;
        RunResult looked =
            session.secretTool({"lookup", "--", "service", c.service, "account", c.account});
        EXPECT_EQ(looked.status, 0) << looked.err;
        EXPECT_EQ(looked.out, c.value);
    }
}

TEST(SecretServiceItemStore, HelperLoadsWhatSecretToolStored) {
    SessionKeyring session;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        RunResult stored = session.secretTool(
            {"store", "--label=by secret-tool", "--", "service", c.service, "account", c.account},
            c.value);
        ASSERT_EQ(stored.status, 0) << stored.err;
        EXPECT_EQ(valueOf(tool(session, {"load", c.service, c.account})), c.value);
    }
}

TEST(SecretServiceItemStore, StoreReplacesInPlaceLeavingOneItem) {
    SessionKeyring session;
    // The first value comes from the desktop's tool, the next two from the helper: however an
    // item was made, a store replaces it and no second item of that name remains.
    session.secretTool({"store", "--label=x", "service", "svc", "account", "acct"}, "first");
    for (std::string value : {"second", "third, longer than before"}) {
        ASSERT_EQ(tool(session, {"store", "svc", "acct"}, value).status, 0);
        EXPECT_EQ(valueOf(tool(session, {"load", "svc", "acct"})), value);
        EXPECT_EQ(itemCount(session, {"service", "svc", "account", "acct"}), 1u);
    }
    // An item of the same name with a further attribute (another program's, or one made by
    // hand) would keep an older value beside the new one: the store removes it.
    session.secretTool({"store", "--label=x", "service", "svc", "account", "acct", "extra", "y"},
                       "stale");
    ASSERT_EQ(tool(session, {"store", "svc", "acct"}, "after").status, 0);
    EXPECT_EQ(valueOf(tool(session, {"load", "svc", "acct"})), "after");
    EXPECT_EQ(itemCount(session, {"service", "svc", "account", "acct"}), 1u);
    // Another name is untouched.
    ASSERT_EQ(tool(session, {"store", "svc", "other"}, "kept").status, 0);
    ASSERT_EQ(tool(session, {"store", "svc", "acct"}, "fourth").status, 0);
    EXPECT_EQ(valueOf(tool(session, {"load", "svc", "other"})), "kept");
}

TEST(SecretServiceItemStore, DeleteRemovesEveryItemOfTheNameAndAbsentIsSuccess) {
    SessionKeyring session;
    ASSERT_EQ(tool(session, {"store", "svc", "acct"}, "v").status, 0);
    ASSERT_EQ(tool(session, {"store", "svc", "neighbour"}, "n").status, 0);
    EXPECT_EQ(tool(session, {"delete", "svc", "acct"}).status, 0);
    EXPECT_EQ(tool(session, {"load", "svc", "acct"}).status, 3);
    EXPECT_NE(session.secretTool({"lookup", "service", "svc", "account", "acct"}).status, 0);
    EXPECT_EQ(valueOf(tool(session, {"load", "svc", "neighbour"})), "n");
    EXPECT_EQ(tool(session, {"delete", "svc", "acct"}).status, 0);
    EXPECT_EQ(tool(session, {"delete", "never", "stored"}).status, 0);
    EXPECT_EQ(tool(session, {"load", "never", "stored"}).status, 3);
}

TEST(SecretServiceItemStore, EightMegabyteValueRoundTrips) {
    SessionKeyring session;
    std::string value(8 << 20, '\0');
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>((i * 131) >> 3);
    ASSERT_EQ(tool(session, {"store", "big", "value"}, value).status, 0);
    RunResult loaded = tool(session, {"load", "big", "value"});
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    EXPECT_TRUE(loaded.out == value)
        << "the loaded value differs (" << loaded.out.size() << " bytes)";
}

TEST(SecretServiceItemStore, NameThatIsNotUtf8CannotBeStoredAndIsNeverFound) {
    SessionKeyring session;
    const std::string bad("svc\xff", 4);
    RunResult stored = tool(session, {"store", bad, "acct"}, "v");
    EXPECT_EQ(stored.status, 2);
    EXPECT_EQ(stored.err, "create: the keyring cannot hold a name that is not UTF-8\n");
    EXPECT_EQ(tool(session, {"load", bad, "acct"}).status, 3);
    EXPECT_EQ(tool(session, {"delete", "acct", bad}).status, 0);
}

// A locked keyring is reported as locked by every operation, never as "not found", whether the
// name exists or not, and nothing tries to unlock it (that would show a prompt).
TEST(SecretServiceItemStore, LockedKeyringIsReportedNeverNotFound) {
    SessionKeyring session;
    ASSERT_EQ(tool(session, {"store", "svc", "there"}, "v").status, 0);
    struct Locking {
        const char* what;
        void (*lock)(SessionKeyring&);
    };
    for (Locking locking :
         {Locking{"locked through the Lock method", [](SessionKeyring& s) { s.lock(); }},
          Locking{"daemon restarted with a wrong password",
                  [](SessionKeyring& s) { s.restartKeyring("wrong password"); }}}) {
        SCOPED_TRACE(locking.what);
        locking.lock(session);
        struct Expect {
            std::vector<std::string> arguments;
            const char* err;
        };
        for (const Expect& e : std::vector<Expect>{
                 {{"load", "svc", "there"}, "load: the keyring is locked\n"},
                 {{"load", "svc", "absent"}, "load: the keyring is locked\n"},
                 {{"store", "svc", "there"}, "replace: the keyring is locked\n"},
                 {{"store", "svc", "absent"}, "create: the keyring is locked\n"},
                 {{"delete", "svc", "there"}, "remove: the keyring is locked\n"},
                 {{"find-key", "tag"}, "load: the keyring is locked\n"},
                 {{"add-key", "tag"}, "create: the keyring is locked\n"},
             }) {
            RunResult run = tool(session, e.arguments, "value");
            EXPECT_EQ(run.status, 2) << e.arguments[0] << " " << e.arguments.back();
            EXPECT_EQ(run.err, e.err) << e.arguments[0] << " " << e.arguments.back();
            EXPECT_EQ(run.out, "");
        }
        session.restartKeyring(SessionKeyring::kPassword);
        EXPECT_EQ(valueOf(tool(session, {"load", "svc", "there"})), "v");
    }
}

TEST(SecretServiceItemStore, KeyItemsAreNeverReplacedAndNeverMeetNamedSecrets) {
    SessionKeyring session;
    EXPECT_EQ(valueOf(tool(session, {"add-key", "com.quorvane.test.key"}, "first key")), "added");
    EXPECT_EQ(valueOf(tool(session, {"add-key", "com.quorvane.test.key"}, "second")), "exists");
    EXPECT_EQ(valueOf(tool(session, {"find-key", "com.quorvane.test.key"})), "first key");
    // A named secret whose service and account equal the tag is another item.
    ASSERT_EQ(
        tool(session, {"store", "com.quorvane.test.key", "com.quorvane.test.key"}, "s").status, 0);
    EXPECT_EQ(valueOf(tool(session, {"find-key", "com.quorvane.test.key"})), "first key");
    EXPECT_EQ(tool(session, {"delete-key", "com.quorvane.test.key"}).status, 0);
    EXPECT_EQ(tool(session, {"find-key", "com.quorvane.test.key"}).status, 3);
    EXPECT_EQ(valueOf(tool(session, {"load", "com.quorvane.test.key", "com.quorvane.test.key"})),
              "s");
    EXPECT_EQ(tool(session, {"delete-key", "com.quorvane.test.key"}).status, 0);
}

// Helpers adding the same key at once: exactly one wins, and every one of them then finds the
// winner's bytes (a second item would leave blobs sealed to a key nobody finds).
TEST(SecretServiceItemStore, ConcurrentKeyAddsLeaveExactlyOneKey) {
    SessionKeyring session;
    constexpr int kProcesses = 8;
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < kProcesses; ++i) {
        runs.push_back(std::async(std::launch::async, [&session, i] {
            return tool(session, {"add-key", "race"}, "key " + std::to_string(i));
        }));
    }
    int added = 0;
    for (auto& run : runs) {
        RunResult result = run.get();
        ASSERT_EQ(result.status, 0) << result.err;
        added += result.out == "added";
    }
    EXPECT_EQ(added, 1);
    EXPECT_EQ(itemCount(session, {"kind", "quorvane-key-item", "tag", "race"}), 1u);
}

// Sixteen processes storing at once, half on one shared name and half on names of their own:
// every store succeeds, each own name holds its value, the shared name holds one of the values
// written to it, in one item.
TEST(SecretServiceItemStore, SixteenConcurrentStoresLoseNothing) {
    SessionKeyring session;
    constexpr int kProcesses = 16;
    std::vector<std::future<RunResult>> runs;
    for (int i = 0; i < kProcesses; ++i) {
        std::string account = i % 2 == 0 ? "shared" : "own-" + std::to_string(i);
        runs.push_back(std::async(std::launch::async, [&session, account, i] {
            return tool(session, {"store", "svc", account}, "value " + std::to_string(i));
        }));
    }
    for (auto& run : runs) {
        RunResult result = run.get();
        EXPECT_EQ(result.status, 0) << result.err;
    }
    for (int i = 1; i < kProcesses; i += 2) {
        EXPECT_EQ(valueOf(tool(session, {"load", "svc", "own-" + std::to_string(i)})),
                  "value " + std::to_string(i));
    }
    std::string shared = valueOf(tool(session, {"load", "svc", "shared"}));
    std::set<std::string> written;
    for (int i = 0; i < kProcesses; i += 2) written.insert("value " + std::to_string(i));
    EXPECT_TRUE(written.count(shared)) << shared;
    EXPECT_EQ(itemCount(session, {"service", "svc", "account", "shared"}), 1u);
}

TEST(SecretServiceProbe, AnswersOnlyWhenASecretServiceAnswers) {
    {
        SessionKeyring session;
        EXPECT_EQ(valueOf(tool(session, {"probe"})), "yes");
    }
    {
        SessionKeyring session(SessionKeyring::Provider::none);
        EXPECT_EQ(valueOf(tool(session, {"probe"})), "no");
        RunResult stored = tool(session, {"store", "svc", "acct"}, "v");
        EXPECT_EQ(stored.status, 2);
        EXPECT_NE(stored.err.find("org.freedesktop.secrets"), std::string::npos) << stored.err;
    }
    {
        // No bus at all: none named, and none at the runtime directory's standard place.
        SessionKeyring session(SessionKeyring::Provider::none);
        EnvironmentOverrides environment = session.environment();
        environment["DBUS_SESSION_BUS_ADDRESS"] = "";
        RunResult probed = runProgram(QUORVANE_ITEM_STORE_TOOL_PATH, {"probe"}, "", environment);
        EXPECT_EQ(probed.out, "no");
        RunResult stored =
            runProgram(QUORVANE_ITEM_STORE_TOOL_PATH, {"store", "s", "a"}, "v", environment);
        EXPECT_EQ(stored.err, "create: no session bus\n");
    }
}

// A Secret Service that owns its name and never answers is there but unusable (never taken for
// an absent one), and operations end with the timeout text of the bound they were given (a bound
// not kept would hang the test).
TEST(SecretServiceProbe, SilentSecretServiceEndsAtTheBound) {
    SessionKeyring session(SessionKeyring::Provider::silent);
    EXPECT_EQ(valueOf(tool(session, {"--bound-ms", "300", "probe"})),
              "unusable: the Secret Service did not answer within 300 ms");
    RunResult loaded = tool(session, {"--bound-ms", "300", "load", "svc", "acct"});
    EXPECT_EQ(loaded.status, 2);
    EXPECT_EQ(loaded.err, "load: the Secret Service did not answer within 300 ms\n");
}

}  // namespace
}  // namespace quorvane::testing
