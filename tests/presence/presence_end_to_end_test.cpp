// The presence modes and the presence-gated commands through the built binary, with a real D-Bus
// daemon and a scriptable polkit authority (python3-dbusmock's polkitd template) on a private
// system bus, a software TPM (swtpm) holding the key pair, and a fresh data directory per test.
#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/json.h"
#include "support/private_system_bus.h"
#include "support/serve_session.h"
#include "support/swtpm.h"

namespace quorvane::testing {
namespace {

const std::string kAnyBlob = "BAAAAA==";

class PresenceEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus_ = new PrivateSystemBus;
        bus_->startPolkit();
        if (Swtpm::available() || underCi()) tpm_ = new Swtpm;
    }
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
        delete tpm_;
        tpm_ = nullptr;
    }
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        bus_->setAllowed(true);
        bus_->clearCalls();
    }

    EnvironmentOverrides environment() const {
        EnvironmentOverrides env = bus_->environment();
        env.merge(tpm_->environment());
        env["XDG_DATA_HOME"] = home_.path();
        return env;
    }
    RunResult run(const std::vector<std::string>& arguments) {
        return runHelper(arguments, "", environment());
    }

    // A serving helper with a full session that has encrypted one line.
    struct Vault {
        explicit Vault(const EnvironmentOverrides& env) : session(env) {
            sessionId = session.createSession();
            auto reply = session.ok(R"({"cmd":"encrypt_lines","sessionId":")" + sessionId +
                                    R"(","lines":["secret line"]})");
            ciphertext = reply["lines"].strings().at(0);
        }
        std::string wrap() {
            return session
                .ok(R"({"cmd":"wrap_touchid","id":2,"sessionId":")" + sessionId + "\"}")["blob"]
                .str();
        }
        Json unwrap(const std::string& blob) {
            return session.call(R"({"cmd":"unwrap_touchid","id":3,"blob":)" + quoted(blob) + "}");
        }
        std::vector<std::string> decryptWith(const std::string& id) {
            return session
                .ok(R"({"cmd":"decrypt_lines","sessionId":")" + id + R"(","lines":[")" +
                    ciphertext + "\"]}")["lines"]
                .strings();
        }
        ServeSession session;
        std::string sessionId;
        std::string ciphertext;
    };

    static PrivateSystemBus* bus_;
    static Swtpm* tpm_;
    TempDir home_;
};
PrivateSystemBus* PresenceEndToEnd::bus_ = nullptr;
Swtpm* PresenceEndToEnd::tpm_ = nullptr;

std::string errorOf(const Json& reply) {
    if (reply["ok"].boolean()) return "<succeeded>";
    EXPECT_FALSE(reply.has("sessionId"));
    return reply["error"].str();
}

TEST_F(PresenceEndToEnd, CheckReportsOk) {
    RunResult result = run({"--check"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "ok");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(bus_->promptCalls(), 0u) << "--check asks nobody";
}

TEST_F(PresenceEndToEnd, BarePromptAnswersByItsExitStatus) {
    RunResult passed = run({});
    EXPECT_EQ(passed.status, 0);
    EXPECT_EQ(passed.out + passed.err, "");
    EXPECT_EQ(bus_->promptCalls(), 1u);
    EXPECT_EQ(bus_->lastCheckFlags(), 1u) << "AllowUserInteraction";
    EXPECT_EQ(bus_->lastCheckSubjectKind(), "system-bus-name");

    bus_->startRefusingPolkit();
    RunResult refused = run({});
    bus_->startPolkit();
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "");
}

TEST_F(PresenceEndToEnd, WrappedKeyOpensANewSessionThatReadsTheOldOnesLines) {
    Vault vault(environment());
    std::string blob = vault.wrap();
    std::string again = vault.wrap();
    EXPECT_NE(blob, again) << "each wrap uses a fresh ephemeral key";
    EXPECT_EQ(bus_->checkCalls(), 0u) << "wrapping asks nobody";

    Json opened = vault.unwrap(blob);
    ASSERT_TRUE(opened["ok"].boolean()) << opened["error"].str();
    EXPECT_EQ(opened["id"].integer(), 3);
    std::string newSession = opened["sessionId"].str();
    EXPECT_NE(newSession, vault.sessionId);
    EXPECT_EQ(vault.decryptWith(newSession), std::vector<std::string>{"secret line"});
    EXPECT_EQ(bus_->promptCalls(), 1u);

    // The key pair persists: a second helper on the same data directory opens the other blob.
    Vault later(environment());
    Json reopened = later.unwrap(again);
    ASSERT_TRUE(reopened["ok"].boolean()) << reopened["error"].str();
    later.ciphertext = vault.ciphertext;
    EXPECT_EQ(later.decryptWith(reopened["sessionId"].str()),
              std::vector<std::string>{"secret line"});
}

TEST_F(PresenceEndToEnd, RefusedPromptOpensNothing) {
    Vault vault(environment());
    std::string blob = vault.wrap();
    bus_->startRefusingPolkit();
    std::string refused = errorOf(vault.unwrap(blob));
    std::size_t prompts = bus_->promptCalls();
    bus_->startPolkit();
    EXPECT_EQ(refused, "secure enclave unwrap failed: user presence was not confirmed");
    EXPECT_EQ(prompts, 1u);
}

TEST_F(PresenceEndToEnd, OldBlobsNeedTheKeyPairThatResetAndDeleteKeyRemove) {
    Vault vault(environment());
    std::string blob = vault.wrap();
    vault.session.ok(R"({"cmd":"reset_touchid_key"})");
    EXPECT_EQ(errorOf(vault.unwrap(blob)), "secure enclave key missing");
    vault.session.ok(R"({"cmd":"reset_touchid_key"})");  // nothing left: still fine

    blob = vault.wrap();
    for (int round = 0; round < 2; ++round) {
        RunResult deleted = run({"--delete-key"});
        EXPECT_EQ(deleted.status, 0);
        EXPECT_EQ(deleted.out, "ok");
        EXPECT_EQ(deleted.err, "");
    }
    EXPECT_EQ(errorOf(vault.unwrap(blob)), "secure enclave key missing");

    // A new pair does not open a blob of the old one.
    vault.wrap();
    EXPECT_EQ(errorOf(vault.unwrap(blob)),
              "secure enclave unwrap failed: ecies authentication failed");
}

TEST_F(PresenceEndToEnd, CaptureSessionCannotWrapAndMakesNoKeyPair) {
    Vault vault(environment());
    Json wrapped = vault.session.ok(R"({"cmd":"wrap_secret","sessionId":")" + vault.sessionId +
                                    R"(","secret":"correct horse"})");
    Json capture = vault.session.ok(
        R"({"cmd":"unwrap_secret_capture","secret":"correct horse","salt":)" +
        quoted(wrapped["salt"].str()) + R"(,"blob":)" + quoted(wrapped["blob"].str()) + "}");
    std::string captureId = capture["sessionId"].str();

    EXPECT_EQ(vault.session.error(R"({"cmd":"wrap_touchid","sessionId":")" + captureId + "\"}"),
              "vault session is capture-only");
    EXPECT_EQ(errorOf(vault.unwrap(kAnyBlob)), "secure enclave key missing");
}

TEST_F(PresenceEndToEnd, MalformedBlobIsRefusedBeforeAnyPrompt) {
    Vault vault(environment());
    std::string blob = vault.wrap();
    // As JSON string literals: a space inside, a line break at the end, padding cut short.
    for (const std::string& bad :
         {quoted(blob.substr(0, 8) + " " + blob.substr(8)), "\"" + blob + "\\n\"",
          quoted(blob.substr(0, blob.size() - 1))}) {
        EXPECT_EQ(errorOf(vault.session.call(R"({"cmd":"unwrap_touchid","blob":)" + bad + "}")),
                  "invalid wrapped blob")
            << bad;
    }
    EXPECT_EQ(vault.session.error(R"({"cmd":"unwrap_touchid","blob":42})"),
              "unwrap_touchid missing blob");
    EXPECT_EQ(bus_->checkCalls(), 0u);
}

// Without a polkit that knows the unlock action and could let this user pass, presence is
// unavailable: --check and the bare prompt say why on standard error, and unwrap_touchid answers
// with the same text.
TEST(PresenceUnavailableEndToEnd, EveryPresenceUseGivesTheSameReason) {
    struct Case {
        const char* what;
        std::function<void(PrivateSystemBus&)> setUp;
        std::string reasonPrefix;
    };
    const Case cases[] = {
        {"no polkit", [](PrivateSystemBus&) {},
         "unavailable: polkit is not running on the system bus"},
        {"polkit without the action list", [](PrivateSystemBus& bus) { bus.startPolkit(false); },
         "unavailable: polkit cannot list its actions ("},
        // What the real daemon answers under a rule that says no for this user, whether or not
        // anybody may be asked: no prompt could ever pass.
        {"a rule that refuses the user",
         [](PrivateSystemBus& bus) { bus.startScriptedPolkit("ret = (False, False, {})"); },
         "unavailable: polkit refuses com.quorvane.helper.unlock to this user"},
    };
    SKIP_WITHOUT_SWTPM();
    Swtpm tpm;
    for (const Case& c : cases) {
        PrivateSystemBus bus;
        c.setUp(bus);
        TempDir home;
        EnvironmentOverrides env = bus.environment();
        env.merge(tpm.environment());
        env["XDG_DATA_HOME"] = home.path();

        RunResult check = runHelper({"--check"}, "", env);
        EXPECT_EQ(check.status, 3) << c.what;
        EXPECT_EQ(check.out, "") << c.what;
        ASSERT_EQ(check.err.rfind(c.reasonPrefix, 0), 0u) << c.what << ": " << check.err;
        ASSERT_EQ(check.err.back(), '\n');
        const std::string reason = check.err.substr(0, check.err.size() - 1);

        RunResult prompt = runHelper({}, "", env);
        EXPECT_EQ(prompt.status, 1) << c.what;
        EXPECT_EQ(prompt.err, reason + "\n") << c.what;

        ServeSession session(env);
        EXPECT_EQ(session.error(R"({"cmd":"unwrap_touchid","blob":")" + kAnyBlob + "\"}"), reason)
            << c.what;
        // The blob is checked before availability.
        EXPECT_EQ(session.error(R"({"cmd":"unwrap_touchid","blob":"BA AAAA="})"),
                  "invalid wrapped blob")
            << c.what;
        // Wrapping needs no presence.
        std::string sessionId = session.createSession();
        EXPECT_TRUE(session.call(R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}")["ok"]
                        .boolean())
            << c.what;
    }
}

}  // namespace
}  // namespace quorvane::testing
