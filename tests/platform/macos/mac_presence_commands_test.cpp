// wrap_touchid, unwrap_touchid and reset_touchid_key through the macOS adapters over the fake
// framework: every message in the order its check runs, and what each failure leaves untouched.
#include <gtest/gtest.h>

#include "crypto/base64.h"
#include "crypto/hex.h"
#include "platform/macos/command_runner.h"
#include "platform/macos/mac_key_store.h"
#include "presence/presence_commands.h"
#include "presence/presence_wrap.h"

namespace quorvane {
namespace {

using testing::CommandRunner;

const std::string kVaultKeyHex(64, 'a');

std::string sessionOf(CommandRunner& runner, SessionMode mode) {
    return runner.sessions.createSession(hexData(kVaultKeyHex), mode);
}

std::string wrapLine(const std::string& sessionId) {
    return R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}";
}

std::string unwrapLine(const std::string& blob) {
    return R"({"cmd":"unwrap_touchid","blob":")" + blob + "\"}";
}

std::string wrapFor(CommandRunner& runner) {
    auto outcome = runner.run(wrapPresenceCommand, wrapLine(sessionOf(runner, SessionMode::full)));
    EXPECT_EQ(outcome.error, "");
    return outcome.reply["blob"].str();
}

bool madeAKeyPair(const CommandRunner& runner) {
    for (const auto& call : runner.platform.calls) {
        if (call.operation == "keyCreateRandomKey") return true;
    }
    return false;
}

TEST(MacWrapPresence, RepliesABase64BlobAndCreatesThePairOnFirstUse) {
    CommandRunner runner;
    auto outcome = runner.run(wrapPresenceCommand, wrapLine(sessionOf(runner, SessionMode::full)));
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.reply.object().size(), 3u);  // id, ok, blob
    EXPECT_TRUE(outcome.reply["ok"].boolean());
    auto blob = base64DecodeSecret(outcome.reply["blob"].str());
    ASSERT_TRUE(blob.has_value());
    EXPECT_EQ(runner.platform.items.size(), 1u);
    EXPECT_EQ(runner.platform.promptCount, 0) << "wrapping asks nobody";
    EXPECT_EQ(runner.sessions.size(), 1u);

    // The second wrap reuses the pair.
    wrapFor(runner);
    EXPECT_EQ(runner.platform.items.size(), 1u);
}

TEST(MacWrapPresence, SessionChecksComeBeforeThePlatform) {
    struct Case {
        const char* line;
        const char* expected;
    };
    const Case cases[] = {
        {R"({"cmd":"wrap_touchid"})", "wrap_touchid missing sessionId"},
        {R"({"cmd":"wrap_touchid","sessionId":7})", "wrap_touchid missing sessionId"},
        {R"({"cmd":"wrap_touchid","sessionId":null})", "wrap_touchid missing sessionId"},
        {R"({"cmd":"wrap_touchid","sessionId":""})", "vault session missing"},
        {R"({"cmd":"wrap_touchid","sessionId":"00000000000000000000000000000000"})",
         "vault session missing"},
    };
    for (const Case& c : cases) {
        CommandRunner runner;
        EXPECT_EQ(runner.error(wrapPresenceCommand, c.line), c.expected) << c.line;
        EXPECT_EQ(runner.platformUses, 0) << c.line;
    }

    CommandRunner runner;
    EXPECT_EQ(runner.error(wrapPresenceCommand, wrapLine(sessionOf(runner, SessionMode::capture))),
              "vault session is capture-only");
    EXPECT_EQ(runner.platformUses, 0);
    EXPECT_FALSE(madeAKeyPair(runner));
}

TEST(MacWrapPresence, ReportsEachPlatformFailureInOrder) {
    struct Case {
        const char* what;
        std::function<void(platform::FakeSecurityFramework&)> script;
        const char* expected;
    };
    const Case cases[] = {
        {"access control", [](auto& p) { p.accessControlFails = true; },
         "unable to create access control"},
        {"creation",
         [](auto& p) {
             p.keyCreateFails = true;
             p.keyCreateError = PlatformError("no room");
         },
         "secure enclave key create failed: no room"},
        {"creation, no reason", [](auto& p) { p.keyCreateFails = true; },
         "secure enclave key create failed: unknown"},
        {"public key", [](auto& p) { p.publicKeyMissing = true; },
         "secure enclave public key unavailable"},
        {"algorithm", [](auto& p) { p.encryptSupported = false; },
         "secure enclave algorithm unsupported"},
        {"public key before algorithm",
         [](auto& p) {
             p.publicKeyMissing = true;
             p.encryptSupported = false;
         },
         "secure enclave public key unavailable"},
        {"encryption",
         [](auto& p) {
             p.encryptFails = true;
             p.encryptError = PlatformError("point at infinity");
         },
         "secure enclave wrap failed: point at infinity"},
        {"encryption, no reason", [](auto& p) { p.encryptFails = true; },
         "secure enclave wrap failed: unknown"},
    };
    for (const Case& c : cases) {
        CommandRunner runner;
        c.script(runner.platform);
        EXPECT_EQ(runner.error(wrapPresenceCommand, wrapLine(sessionOf(runner, SessionMode::full))),
                  c.expected)
            << c.what;
        EXPECT_EQ(runner.sessions.size(), 1u) << c.what;
    }
}

TEST(MacUnwrapPresence, OpensANewFullSessionWithTheWrappedKey) {
    CommandRunner runner;
    std::string blob = wrapFor(runner);
    runner.platform.calls.clear();

    auto outcome = runner.run(unwrapPresenceCommand, unwrapLine(blob));
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.reply.object().size(), 3u);  // id, ok, sessionId
    std::string sessionId = outcome.reply["sessionId"].str();
    EXPECT_EQ(runner.sessions.size(), 2u);
    EXPECT_EQ(dataHex(runner.sessions.requireFullSession(sessionId).span()), kVaultKeyHex);
    EXPECT_EQ(runner.platform.promptCount, 1);
    EXPECT_EQ(runner.platform.lastPromptReason, "Unlock Quorvane vault");
}

TEST(MacUnwrapPresence, ReportsEachFailureInOrderAndOpensNothing) {
    struct Case {
        const char* what;
        std::string line;  // empty: a good blob for the runner's key pair
        std::function<void(platform::FakeSecurityFramework&)> script;
        const char* expected;
        bool prompted;
    };
    auto none = [](platform::FakeSecurityFramework&) {};
    const Case cases[] = {
        {"no blob", R"({"cmd":"unwrap_touchid"})", none, "unwrap_touchid missing blob", false},
        {"blob not a string", R"({"cmd":"unwrap_touchid","blob":["AAAA"]})", none,
         "unwrap_touchid missing blob", false},
        {"space", unwrapLine("AQID BAUG"), none, "invalid wrapped blob", false},
        {"line break", R"({"cmd":"unwrap_touchid","blob":"AQID\nBAUG"})", none,
         "invalid wrapped blob", false},
        {"no padding", unwrapLine("AQI"), none, "invalid wrapped blob", false},
        {"bad blob before unavailable", unwrapLine("A*=="), [](auto& p) { p.canEvaluate = false; },
         "invalid wrapped blob", false},
        {"unavailable", "", [](auto& p) { p.canEvaluate = false; }, "unavailable: no biometrics",
         false},
        {"unavailable with reason", "",
         [](auto& p) {
             p.canEvaluate = false;
             p.canEvaluateError = PlatformError("polkit is not running on the system bus");
         },
         "unavailable: polkit is not running on the system bus", false},
        {"lookup failure", "", [](auto& p) { p.scriptStatus("itemCopyMatching", -40005); },
         "secure enclave key load failed: -40005", false},
        {"decrypt algorithm", "", [](auto& p) { p.decryptSupported = false; },
         "secure enclave decrypt algorithm unsupported", false},
        {"refused prompt", "",
         [](auto& p) {
             p.promptPasses = false;
             p.decryptError = PlatformError("user presence was not confirmed");
         },
         "secure enclave unwrap failed: user presence was not confirmed", true},
        {"refused prompt, no reason", "", [](auto& p) { p.promptPasses = false; },
         "secure enclave unwrap failed: unknown", true},
    };
    for (const Case& c : cases) {
        CommandRunner runner;
        std::string line = c.line.empty() ? unwrapLine(wrapFor(runner)) : c.line;
        const std::size_t sessionsBefore = runner.sessions.size();
        runner.platform.promptCount = 0;
        c.script(runner.platform);
        EXPECT_EQ(runner.error(unwrapPresenceCommand, line), c.expected) << c.what;
        EXPECT_EQ(runner.platform.promptCount > 0, c.prompted) << c.what;
        EXPECT_EQ(runner.sessions.size(), sessionsBefore) << c.what;
    }
}

TEST(MacUnwrapPresence, OldBlobsFailOnceTheKeyPairIsReset) {
    CommandRunner runner;
    std::string blob = wrapFor(runner);
    EXPECT_EQ(runner.error(resetPresenceKeyCommand, R"({"cmd":"reset_touchid_key","x":1})"),
              "<succeeded>");
    EXPECT_EQ(runner.error(unwrapPresenceCommand, unwrapLine(blob)), "secure enclave key missing");

    // A new pair exists after the next wrap, and the old blob is not its.
    wrapFor(runner);
    EXPECT_EQ(runner.error(unwrapPresenceCommand, unwrapLine(blob)),
              "secure enclave unwrap failed: unknown");
}

TEST(MacUnwrapPresence, ABlobThatDoesNotHoldA32ByteKeyOpensNothing) {
    for (std::string keyHex : {std::string(), std::string("00"), kVaultKeyHex.substr(2)}) {
        CommandRunner runner;
        std::string blob = wrapVaultKey(runner.services->keys(), hexData(keyHex)->span());
        EXPECT_EQ(runner.error(unwrapPresenceCommand, unwrapLine(blob)),
                  "invalid vault key from secure enclave unwrap");
        EXPECT_EQ(runner.sessions.size(), 0u);
    }
}

TEST(MacResetPresenceKey, SucceedsWithoutAKeyAndReportsOtherStatuses) {
    CommandRunner runner;
    auto outcome = runner.run(resetPresenceKeyCommand, R"({"cmd":"reset_touchid_key"})");
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.reply.object().size(), 2u);  // id, ok
    runner.platform.scriptStatus("itemDelete", -25308);
    EXPECT_EQ(runner.error(resetPresenceKeyCommand, R"({"cmd":"reset_touchid_key"})"),
              "secure enclave key delete failed: -25308");
}

}  // namespace
}  // namespace quorvane
