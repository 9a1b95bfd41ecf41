// The protection ladder through the built binaries: the key service (quorvane-keyd, here on a
// private system bus) is the top rung when it answers; the TPM of the user's own and the desktop
// keyring stay for machines without it. New wraps go to the strongest rung that answers, keys
// made before keep opening their blobs, and a machine with no rung says so. A polkit mock that
// says yes stands in for the person; swtpm for the TPM.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/ecies.h"
#include "crypto/hex.h"
#include "crypto/p256.h"
#include "file_store/file_store.h"
#include "key_service/key_service_client.h"
#include "support/fake_key_service.h"
#include "support/helper_process.h"
#include "support/json.h"
#include "support/key_service_process.h"
#include "support/private_system_bus.h"
#include "support/serve_session.h"
#include "support/swtpm.h"
#include "tpm/tpm_key_item.h"
#include "tpm/tpm_key_store.h"

namespace quorvane::testing {
namespace {

// The design's known answer: a blob the platform made for this private key, holding a text.
constexpr const char* kKnownScalar =
    "71a1c67a6ede41bf9d6e68cc3649f934c542f2fa3329c2710583ea31d5e29d14";
constexpr const char* kNoDevice = "device:/nonexistent/quorvane/tpmrm0";

class KeyLadderEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SWTPM();
        bus_ = std::make_unique<PrivateSystemBus>();
        bus_->startPolkit();
        bus_->setAllowed(true);
        tpm_ = std::make_unique<Swtpm>();
    }

    // The helper's environment: the private system bus, and the TPM the user can reach itself.
    EnvironmentOverrides environment(const std::string& userTpm) const {
        EnvironmentOverrides env = bus_->environment();
        env["QUORVANE_TEST_TPM_TCTI"] = userTpm;
        env["XDG_DATA_HOME"] = home_.path();
        return env;
    }
    EnvironmentOverrides userTpm() const { return environment(tpm_->tcti()); }
    EnvironmentOverrides noUserTpm() const { return environment(kNoDevice); }

    void startService(const std::string& tpm) {
        service_ = std::make_unique<KeyServiceProcess>(bus_->address(), tpm);
    }

    // The helper's own item store, as the helper finds it under XDG_DATA_HOME.
    platform::FileStore store() const {
        return platform::FileStore(home_.path() + "/quorvane/keychain.sqlite3");
    }
    Bytes keyItem(std::string_view tag) const {
        std::optional<SecretBytes> item = store().findKeyItem(tag);
        return item ? Bytes(item->data(), item->data() + item->size()) : Bytes{};
    }
    // The service names a person's key file by their user id, here the test's own.
    static std::string keyFile(const char* kind) { return std::to_string(getuid()) + "." + kind; }
    std::vector<std::string> serviceFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(service_->stateDirectory())) {
            names.push_back(entry.path().filename());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string wrapNewSession(ServeSession& session) {
        std::string sessionId = session.createSession();
        Json reply = session.call(R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}");
        return reply["ok"].boolean() ? reply["blob"].str() : "error: " + reply["error"].str();
    }
    static std::string unwrap(ServeSession& session, const std::string& blob) {
        Json reply = session.call(R"({"cmd":"unwrap_touchid","blob":)" + quoted(blob) + "}");
        return reply["ok"].boolean() ? "opened" : reply["error"].str();
    }

    std::unique_ptr<PrivateSystemBus> bus_;
    std::unique_ptr<Swtpm> tpm_;
    std::unique_ptr<KeyServiceProcess> service_;
    TempDir home_;
};

TEST_F(KeyLadderEndToEnd, WithTheServiceTheKeyLivesThereAndTheUserStoreHoldsNone) {
    struct Case {
        const char* name;
        bool serviceHasTpm;
        std::string file;
    };
    const Case cases[] = {{"with a TPM", true, keyFile("tpm")},
                          {"without a TPM", false, keyFile("software")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startService(c.serviceHasTpm ? tpm_->tcti() : kNoDevice);
        // The user could reach a TPM too: the service still comes first.
        RunResult check = runHelper({"--check"}, "", userTpm());
        EXPECT_EQ(check.status, 0) << check.err;
        EXPECT_EQ(check.out, "ok");

        ServeSession session(userTpm());
        const std::string blob = wrapNewSession(session);
        ASSERT_EQ(blob.rfind("error: ", 0), std::string::npos) << blob;
        EXPECT_EQ(serviceFiles(), std::vector<std::string>{c.file});
        EXPECT_TRUE(keyItem(platform::TpmKeyStore::kTag).empty());
        EXPECT_TRUE(keyItem(values::keyTag).empty());
        bus_->clearCalls();
        EXPECT_EQ(unwrap(session, blob), "opened");
        EXPECT_EQ(bus_->promptCalls(), 1u) << "the service's check is the one prompt";
        EXPECT_EQ(bus_->checkCalls(), 2u) << "one check whether a prompt could pass, one prompt";
        EXPECT_EQ(bus_->lastCheckSubjectKind(), "system-bus-name");

        session.ok(R"({"cmd":"reset_touchid_key"})");
        EXPECT_TRUE(serviceFiles().empty());
        EXPECT_EQ(unwrap(session, blob), "secure enclave key missing");
        service_.reset();
    }
}

TEST_F(KeyLadderEndToEnd, WithoutTheServiceAUsersOwnTpmHoldsTheKey) {
    RunResult check = runHelper({"--check"}, "", userTpm());
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.out, "ok");

    ServeSession session(userTpm());
    const std::string blob = wrapNewSession(session);
    ASSERT_EQ(blob.rfind("error: ", 0), std::string::npos) << blob;
    EXPECT_TRUE(platform::tpm::isKeyItem(keyItem(platform::TpmKeyStore::kTag)));
    bus_->clearCalls();
    EXPECT_EQ(unwrap(session, blob), "opened");
    EXPECT_EQ(bus_->checkCalls(), 2u) << "one check whether a prompt could pass, one prompt";
}

TEST_F(KeyLadderEndToEnd, WithoutAnyRungNoKeyIsMadeAndCheckSaysSoWithoutOutput) {
    RunResult check = runHelper({"--check"}, "", noUserTpm());
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(check.out, "");
    EXPECT_EQ(check.err, "");

    ServeSession session(noUserTpm());
    const std::string failure = wrapNewSession(session);
    EXPECT_EQ(
        failure.rfind("error: secure enclave key create failed: no presence key can be made "
                      "here: no usable key service (the key service (com.quorvane.KeyService1) "
                      "is not installed); no usable TPM (there is no TPM: "
                      "/nonexistent/quorvane/tpmrm0 does not exist); no usable desktop "
                      "keyring (",
                      0),
        0u)
        << failure;
    EXPECT_TRUE(keyItem(values::keyTag).empty()) << "nothing is stored";
}

// A machine with a TPM that the service cannot open (its user left out of the device's group) is
// not a machine without one: a key made in software there would stay in software for good. The
// service makes none, says why in Status and once in its log, and --check does not offer presence;
// nor does a lower rung make a weaker key meanwhile, not even the user's own TPM. The device here
// is a directory, which no user (root included) opens as a TPM.
TEST_F(KeyLadderEndToEnd, ATpmTheServiceCannotOpenGetsNoSoftwareKeyAndSaysSo) {
    TempDir device;
    startService("device:" + device.path());
    const std::string fault = "this machine has a TPM that the key service cannot use: ";

    platform::key_service::ServiceStatus status =
        platform::key_service::Client(bus_->address()).status();
    EXPECT_EQ(status.kind, "tpm");
    EXPECT_FALSE(status.exists);
    EXPECT_FALSE(status.usable);
    EXPECT_EQ(status.problem.rfind(fault, 0), 0u) << status.problem;

    RunResult check = runHelper({"--check"}, "", userTpm());
    EXPECT_EQ(check.status, 2) << check.err;
    EXPECT_EQ(check.out, "");
    ServeSession session(userTpm());
    const std::string failure = wrapNewSession(session);
    EXPECT_EQ(failure.rfind("error: secure enclave key create failed: " + fault, 0), 0u) << failure;
    EXPECT_TRUE(serviceFiles().empty());
    EXPECT_TRUE(keyItem(platform::TpmKeyStore::kTag).empty());
    EXPECT_TRUE(keyItem(values::keyTag).empty());

    const std::string log = service_->log();
    std::size_t lines = 0;
    const std::string said = "quorvane-keyd: " + fault;
    for (std::size_t at = log.find(said); at != std::string::npos; at = log.find(said, at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << log;
}

// A key service that is there and fails is reported by every command that would use it: none
// takes the user's own TPM instead, although it answers.
TEST_F(KeyLadderEndToEnd, AServiceThatFailsIsReportedAndNoWeakerKeyIsMade) {
    FakeKeyService failing(bus_->address(), FakeKeyService::Failure::error,
                           "com.quorvane.KeyService1.Error.Failed",
                           "the state directory cannot be read");
    const std::string reason =
        "the key service (com.quorvane.KeyService1) cannot be asked now (the state directory "
        "cannot be read)";
    RunResult check = runHelper({"--check"}, "", userTpm());
    EXPECT_EQ(check.status, 3);
    EXPECT_EQ(check.out, "");
    EXPECT_EQ(check.err, "unavailable: " + reason + "\n");

    ServeSession session(userTpm());
    EXPECT_EQ(wrapNewSession(session), "error: secure enclave key create failed: " + reason);
    EXPECT_EQ(unwrap(session, base64Encode(Bytes(113, 4))),
              "secure enclave key load failed: " + reason);
    EXPECT_TRUE(keyItem(platform::TpmKeyStore::kTag).empty()) << "a key went to the user's TPM";
    EXPECT_EQ(bus_->promptCalls(), 0u) << "nobody was asked";
}

// A key made by an earlier version is a 32-byte scalar in the helper's store, where any program
// of the user could have written one of its own choosing. It keeps opening what was wrapped to
// it, but no new blob is ever wrapped to it while a stronger rung answers.
TEST_F(KeyLadderEndToEnd, AKeyInTheUsersStoreOpensItsBlobsButIsNeverWrappedToAgain) {
    SecretBytes scalar = hexData(kKnownScalar).value();
    ASSERT_TRUE(store().addKeyItem(values::keyTag, scalar.span()));
    const Bytes before = keyItem(values::keyTag);
    startService(tpm_->tcti());

    ServeSession session(noUserTpm());
    // The platform-made blob of the design's known answer: it opens, and holds 15 bytes, so the
    // helper refuses it as a vault key only after decrypting it.
    const std::string knownBlob = base64Encode(
        hexData("048eac0421b27fdd7a190495dc31cebe61713a6cdb57da6ad3cc1c39d29a7a93f6fd0b5ea63f4cef"
                "57589335dfe8ea88b2d0f2c952317e700c7d4a71673a021c36da958473cf086a1f083b2ba44d9751"
                "76f4f55d2cdb491f8f7cc8949f9685bf")
            .value()
            .span());
    EXPECT_EQ(unwrap(session, knownBlob), "invalid vault key from secure enclave unwrap");

    const std::string blob = wrapNewSession(session);
    ASSERT_EQ(blob.rfind("error: ", 0), std::string::npos) << blob;
    std::optional<SecretBytes> opened;
    try {
        opened = ecies::decrypt(scalar.span(), base64DecodeSecret(blob).value().span());
    } catch (const std::exception&) {
    }
    EXPECT_FALSE(opened) << "the new blob was wrapped to the key in the user's store";
    EXPECT_EQ(serviceFiles(), std::vector<std::string>{keyFile("tpm")});
    EXPECT_EQ(keyItem(values::keyTag), before) << "the earlier key stays as it was";

    // Both open, each with one prompt: the earlier blob after the service's key did not open it.
    for (const std::string& which : {knownBlob, blob}) {
        bus_->clearCalls();
        unwrap(session, which);
        EXPECT_EQ(bus_->promptCalls(), 1u);
    }
    EXPECT_EQ(unwrap(session, blob), "opened");

    session.ok(R"({"cmd":"reset_touchid_key"})");
    EXPECT_TRUE(keyItem(values::keyTag).empty());
    EXPECT_TRUE(serviceFiles().empty());
}

// A TPM key is refused once its TPM no longer loads it: wrapping would make blobs that never
// open, and unwrapping fails before anybody is asked.
TEST_F(KeyLadderEndToEnd, AKeyItsTpmNoLongerLoadsIsRefusedWithoutAPrompt) {
    std::string blob;
    {
        ServeSession session(userTpm());
        blob = wrapNewSession(session);
    }
    const Bytes tpmItem = keyItem(platform::TpmKeyStore::kTag);
    ASSERT_TRUE(platform::tpm::isKeyItem(tpmItem));

    {
        SCOPED_TRACE("the TPM is gone");
        ServeSession session(noUserTpm());
        bus_->clearCalls();
        EXPECT_EQ(unwrap(session, blob),
                  "secure enclave unwrap failed: there is no TPM: /nonexistent/quorvane/tpmrm0 "
                  "does not exist");
        EXPECT_EQ(bus_->promptCalls(), 0u);
        EXPECT_EQ(wrapNewSession(session).rfind("error: secure enclave key create failed: no "
                                                "presence key can be made here",
                                                0),
                  0u);
    }
    {
        SCOPED_TRACE("the TPM was cleared");
        tpm_ = std::make_unique<Swtpm>();
        ServeSession session(userTpm());
        bus_->clearCalls();
        EXPECT_EQ(unwrap(session, blob)
                      .rfind("secure enclave unwrap failed: the TPM cannot load "
                             "the presence key",
                             0),
                  0u);
        EXPECT_EQ(bus_->promptCalls(), 0u);
        EXPECT_EQ(wrapNewSession(session).rfind("error: secure enclave wrap failed: the TPM cannot "
                                                "load the presence key",
                                                0),
                  0u);
        RunResult check = runHelper({"--check"}, "", userTpm());
        EXPECT_EQ(check.status, 2) << "no key can be used now";
    }
    EXPECT_EQ(keyItem(platform::TpmKeyStore::kTag), tpmItem) << "never replaced";
}

// QUORVANE_TEST_TPM_TCTI names a software TPM, never a library: other forms are refused.
TEST_F(KeyLadderEndToEnd, TheTpmTestSettingTakesOnlyTheKnownTransports) {
    for (const std::string& tcti :
         {std::string("libtss2-tcti-swtpm.so.0:path=/x"), std::string("/tmp/evil.so"),
          std::string("tabrmd:"), std::string("swtpm:")}) {
        SCOPED_TRACE(tcti);
        ServeSession session(environment(tcti));
        const std::string failure = wrapNewSession(session);
        EXPECT_NE(failure.find("no usable TPM (the TPM \"" + tcti +
                               "\" is not one this program can reach"),
                  std::string::npos)
            << failure;
    }
}

}  // namespace
}  // namespace quorvane::testing
