// The protection ladder through the built binary: which rung a new key goes to, that a key made
// before the ladder keeps opening its blobs where it is, and what a machine with no rung says.
// A private system bus with a polkit that says yes stands in for the person; swtpm for the TPM.
#include <gtest/gtest.h>

#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/hex.h"
#include "platform/linux/file_item_store.h"
#include "platform/tpm/tpm_key_item.h"
#include "support/helper_process.h"
#include "support/json.h"
#include "support/private_system_bus.h"
#include "support/serve_session.h"
#include "support/swtpm.h"

namespace quorvane::testing {
namespace {

// The design's known answer: a blob the platform made for this private key, holding a text.
constexpr const char* kKnownScalar =
    "71a1c67a6ede41bf9d6e68cc3649f934c542f2fa3329c2710583ea31d5e29d14";

class KeyLadderEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        bus_ = std::make_unique<PrivateSystemBus>();
        bus_->startPolkit();
        bus_->setAllowed(true);
        tpm_ = std::make_unique<Swtpm>();
    }

    EnvironmentOverrides environment(const std::string& tcti) const {
        EnvironmentOverrides env = bus_->environment();
        env["QUORVANE_TEST_TPM_TCTI"] = tcti;
        env["XDG_DATA_HOME"] = home_.path();
        return env;
    }
    EnvironmentOverrides withTpm() const { return environment(tpm_->tcti()); }
    // A TCTI that names a device this machine does not have.
    EnvironmentOverrides withoutTpm() const {
        return environment("device:/nonexistent/quorvane/tpmrm0");
    }

    // The helper's own item store, as the helper finds it under XDG_DATA_HOME.
    platform::FileItemStore store() const {
        return platform::FileItemStore(home_.path() + "/quorvane/keychain.sqlite3");
    }
    Bytes keyItem() const {
        std::optional<SecretBytes> item = store().findKeyItem(values::keyTag);
        return item ? Bytes(item->data(), item->data() + item->size()) : Bytes{};
    }

    static std::string wrapNewSession(ServeSession& session) {
        std::string sessionId = session.createSession();
        Json reply = session.call(R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}");
        return reply["ok"].boolean() ? reply["blob"].str() : "error: " + reply["error"].str();
    }

    std::unique_ptr<PrivateSystemBus> bus_;
    std::unique_ptr<Swtpm> tpm_;
    TempDir home_;
};

TEST_F(KeyLadderEndToEnd, WithATpmTheKeyIsMadeInItAndTheStoreHoldsOnlyItsWrappedForm) {
    RunResult check = runHelper({"--check"}, "", withTpm());
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "ok");

    ServeSession session(withTpm());
    const std::string blob = wrapNewSession(session);
    ASSERT_EQ(blob.rfind("error: ", 0), std::string::npos) << blob;
    EXPECT_TRUE(platform::tpm::isKeyItem(keyItem()));
    Json opened =
        session.call(R"({"cmd":"unwrap_touchid","blob":)" + quorvane::testing::quoted(blob) + "}");
    EXPECT_TRUE(opened["ok"].boolean()) << opened["error"].str();
}

TEST_F(KeyLadderEndToEnd, WithoutAnyRungNoKeyIsMadeAndCheckSaysSoWithoutOutput) {
    RunResult check = runHelper({"--check"}, "", withoutTpm());
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.out, "");
    EXPECT_EQ(check.err, "");

    ServeSession session(withoutTpm());
    const std::string failure = wrapNewSession(session);
    EXPECT_EQ(failure.rfind("error: secure enclave key create failed: no presence key can be made "
                            "here: no usable TPM (there is no TPM: /nonexistent/quorvane/tpmrm0 "
                            "does not exist); no usable desktop keyring (",
                            0),
              0u)
        << failure;
    EXPECT_TRUE(keyItem().empty()) << "nothing is stored";
}

// A key made by an earlier version is a 32-byte scalar in the helper's store. It keeps opening
// what was wrapped to it, keeps being wrapped to, and is not replaced by a TPM key.
TEST_F(KeyLadderEndToEnd, AKeyMadeBeforeTheLadderKeepsWorkingWhereItIs) {
    SecretBytes scalar = hexData(kKnownScalar).value();
    ASSERT_TRUE(store().addKeyItem(values::keyTag, scalar.span()));
    const Bytes before = keyItem();

    ServeSession session(withTpm());
    // The platform-made blob of the design's known answer: it opens, and holds 15 bytes, so the
    // helper refuses it as a vault key only after decrypting it.
    const std::string knownBlob = base64Encode(
        hexData("048eac0421b27fdd7a190495dc31cebe61713a6cdb57da6ad3cc1c39d29a7a93f6fd0b5ea63f4cef"
                "57589335dfe8ea88b2d0f2c952317e700c7d4a71673a021c36da958473cf086a1f083b2ba44d9751"
                "76f4f55d2cdb491f8f7cc8949f9685bf")
            .value()
            .span());
    EXPECT_EQ(session.error(R"({"cmd":"unwrap_touchid","blob":)" +
                            quorvane::testing::quoted(knownBlob) + "}"),
              "invalid vault key from secure enclave unwrap");

    const std::string blob = wrapNewSession(session);
    Json opened =
        session.call(R"({"cmd":"unwrap_touchid","blob":)" + quorvane::testing::quoted(blob) + "}");
    EXPECT_TRUE(opened["ok"].boolean()) << opened["error"].str();
    EXPECT_EQ(keyItem(), before) << "the earlier key stays as it was, where it was";

    // Moving it to the TPM is the application's reset and wrap again.
    session.ok(R"({"cmd":"reset_touchid_key"})");
    EXPECT_EQ(
        session.error(R"({"cmd":"unwrap_touchid","blob":)" + quorvane::testing::quoted(blob) + "}"),
        "secure enclave key missing");
    wrapNewSession(session);
    EXPECT_TRUE(platform::tpm::isKeyItem(keyItem()));
}

// A TPM key is not replaced by a weaker one when its TPM is gone: wrapping still uses it (only
// the public half is needed) and unwrapping says what is wrong.
TEST_F(KeyLadderEndToEnd, ATpmKeyIsNeverReplacedWhenTheTpmIsGone) {
    std::string blob;
    {
        ServeSession session(withTpm());
        blob = wrapNewSession(session);
    }
    const Bytes tpmItem = keyItem();
    ASSERT_TRUE(platform::tpm::isKeyItem(tpmItem));

    ServeSession session(withoutTpm());
    EXPECT_EQ(wrapNewSession(session).rfind("error: ", 0), std::string::npos);
    EXPECT_EQ(
        session.error(R"({"cmd":"unwrap_touchid","blob":)" + quorvane::testing::quoted(blob) + "}"),
        "secure enclave unwrap failed: there is no TPM: /nonexistent/quorvane/tpmrm0 does "
        "not exist");
    EXPECT_EQ(keyItem(), tpmItem);
}

}  // namespace
}  // namespace quorvane::testing
