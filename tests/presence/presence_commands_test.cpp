// wrap_touchid, unwrap_touchid and reset_touchid_key on plain fakes of the platform services:
// the replies, every error text in the order its check runs, what the key store and the prompt
// were asked, and that a failure opens no session.
#include "presence/presence_commands.h"

#include <gtest/gtest.h>

#include <functional>

#include "crypto/base64.h"
#include "crypto/hex.h"
#include "presence/presence_wrap.h"
#include "support/plain_services.h"

namespace quorvane {
namespace {

using testing::CommandRunner;
using Step = platform::KeyStoreError::Step;

const std::string kVaultKeyHex = std::string(32, 'a') + std::string(32, '7');

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
    auto outcome = runner.run("wrap_touchid", wrapLine(sessionOf(runner, SessionMode::full)));
    EXPECT_EQ(outcome.error, "");
    return outcome.reply["blob"].str();
}

TEST(WrapPresenceCommand, MakesTheKeyOnceAndRepliesOnlyABlob) {
    CommandRunner runner;
    auto outcome = runner.run("wrap_touchid", wrapLine(sessionOf(runner, SessionMode::full)));
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.reply.object().size(), 3u);  // id, ok, blob
    EXPECT_TRUE(base64DecodeSecret(outcome.reply["blob"].str()).has_value());
    wrapFor(runner);
    EXPECT_EQ(runner.fakes.keys().creates, 1) << "the second wrap uses the key the first made";
    EXPECT_EQ(runner.fakes.presence().prompts, 0) << "wrapping asks nobody";
}

TEST(WrapPresenceCommand, RequestAndSessionChecksComeBeforeThePlatform) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"cmd":"wrap_touchid"})", "wrap_touchid missing sessionId"},
        {R"({"cmd":"wrap_touchid","sessionId":7})", "wrap_touchid missing sessionId"},
        {wrapLine("no-such-session"), "vault session missing"},
    };
    for (const auto& [line, expected] : cases) {
        CommandRunner runner;
        EXPECT_EQ(runner.error("wrap_touchid", line), expected) << line;
        EXPECT_EQ(runner.fakes.started, 0) << line;
    }
    CommandRunner runner;
    EXPECT_EQ(runner.error("wrap_touchid", wrapLine(sessionOf(runner, SessionMode::capture))),
              "vault session is capture-only");
    EXPECT_EQ(runner.fakes.started, 0);
}

TEST(WrapPresenceCommand, NamesEachKeyStoreFailure) {
    struct Case {
        Step step;
        std::string detail;
        std::string expected;
    };
    const Case cases[] = {
        {Step::accessControl, "", "unable to create access control"},
        {Step::create, "-40005", "secure enclave key create failed: -40005"},
        {Step::create, "", "secure enclave key create failed: unknown"},
        {Step::encrypt, "point at infinity", "secure enclave wrap failed: point at infinity"},
        {Step::encrypt, "", "secure enclave wrap failed: unknown"},
    };
    for (const Case& c : cases) {
        CommandRunner runner;
        runner.fakes.keys().failing = c.step;
        runner.fakes.keys().failureDetail = c.detail;
        EXPECT_EQ(runner.error("wrap_touchid", wrapLine(sessionOf(runner, SessionMode::full))),
                  c.expected);
        EXPECT_EQ(runner.sessions.size(), 1u);
    }
}

TEST(UnwrapPresenceCommand, AsksOnceAndOpensANewFullSessionWithTheWrappedKey) {
    CommandRunner runner;
    std::string blob = wrapFor(runner);
    auto outcome = runner.run("unwrap_touchid", unwrapLine(blob));
    ASSERT_EQ(outcome.error, "");
    EXPECT_EQ(outcome.reply.object().size(), 3u);  // id, ok, sessionId
    std::string sessionId = outcome.reply["sessionId"].str();
    EXPECT_EQ(dataHex(runner.sessions.requireFullSession(sessionId).span()), kVaultKeyHex);
    EXPECT_EQ(runner.fakes.presence().prompts, 1);
    EXPECT_EQ(runner.fakes.presence().lastReason, "Unlock Quorvane vault");
}

TEST(UnwrapPresenceCommand, ReportsEachFailureInOrderOpensNothingAndAsksOnlyWhenItCanBeUsed) {
    struct Case {
        const char* what;
        std::function<void(testing::PlainServices&)> script;
        std::string line;  // empty: a blob wrapped to the key
        std::string expected;
        int prompts;
    };
    const Case cases[] = {
        {"no blob", nullptr, R"({"cmd":"unwrap_touchid"})", "unwrap_touchid missing blob", 0},
        {"blob not a string", nullptr, R"({"cmd":"unwrap_touchid","blob":[]})",
         "unwrap_touchid missing blob", 0},
        {"not base64", nullptr, unwrapLine("not base64!"), "invalid wrapped blob", 0},
        {"no prompt possible", [](auto& f) { f.presence().unavailable = "no agent"; }, "",
         "unavailable: no agent", 0},
        {"no key", [](auto& f) { f.keys().scalar.reset(); }, "", "secure enclave key missing", 0},
        {"lookup failed",
         [](auto& f) {
             f.keys().failing = Step::load;
             f.keys().failureDetail = "-40007";
         },
         "", "secure enclave key load failed: -40007", 0},
        {"refused", [](auto& f) { f.presence().passes = false; }, "",
         "secure enclave unwrap failed: user presence was not confirmed", 1},
        {"foreign blob", nullptr, unwrapLine(std::string(120, 'A')),
         "secure enclave unwrap failed: unknown", 1},
    };
    for (const Case& c : cases) {
        CommandRunner runner;
        std::string line = c.line.empty() ? unwrapLine(wrapFor(runner)) : c.line;
        if (c.what == std::string("foreign blob")) wrapFor(runner);  // a key, not this blob's
        if (c.script) c.script(runner.fakes);
        std::size_t sessions = runner.sessions.size();
        std::string error = runner.error("unwrap_touchid", line);
        if (c.what == std::string("foreign blob")) {
            EXPECT_EQ(error.rfind("secure enclave unwrap failed: ", 0), 0u) << error;
        } else {
            EXPECT_EQ(error, c.expected) << c.what;
        }
        EXPECT_EQ(runner.sessions.size(), sessions) << c.what;
        if (runner.fakes.started > 0) {
            EXPECT_EQ(runner.fakes.presence().prompts, c.prompts) << c.what;
        }
    }
}

TEST(UnwrapPresenceCommand, ABlobThatDoesNotHoldA32ByteKeyOpensNothing) {
    for (std::string keyHex : {std::string(), std::string("00"), kVaultKeyHex.substr(2)}) {
        CommandRunner runner;
        std::string blob = wrapVaultKey(runner.fakes.keys(), hexData(keyHex)->span());
        EXPECT_EQ(runner.error("unwrap_touchid", unwrapLine(blob)),
                  "invalid vault key from secure enclave unwrap");
        EXPECT_EQ(runner.sessions.size(), 0u);
    }
}

TEST(ResetPresenceKeyCommand, DeletesTheKeySoOldBlobsNoLongerOpen) {
    CommandRunner runner;
    std::string blob = wrapFor(runner);
    EXPECT_EQ(runner.error("reset_touchid_key", R"({"cmd":"reset_touchid_key"})"), "<succeeded>");
    EXPECT_EQ(runner.error("reset_touchid_key", R"({"cmd":"reset_touchid_key"})"), "<succeeded>")
        << "a missing key is fine";
    EXPECT_EQ(runner.error("unwrap_touchid", unwrapLine(blob)), "secure enclave key missing");

    runner.fakes.keys().failing = Step::remove;
    runner.fakes.keys().failureDetail = "-40004";
    EXPECT_EQ(runner.error("reset_touchid_key", R"({"cmd":"reset_touchid_key"})"),
              "secure enclave key delete failed: -40004");
}

}  // namespace
}  // namespace quorvane
