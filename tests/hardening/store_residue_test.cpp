// A serving helper keeps no stored secret in memory between operations: after unwrap_touchid read
// a software presence key from the user's store and used it, nothing of the private key's bytes
// (as the store keeps them) is left anywhere in the helper, SQLite's page cache included. Reads the
// helper's memory through /proc/<pid>/mem, which needs root: the helper is non-dumpable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/process_values.h"
#include "crypto/base64.h"
#include "hardening/process_memory.h"
#include "platform/linux/ecies.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/p256.h"
#include "platform/tpm/tpm_key_item.h"
#include "platform/tpm/tpm_key_store.h"
#include "platform/tpm/tss_library.h"
#include "support/key_service_process.h"
#include "support/private_system_bus.h"
#include "support/requirements.h"
#include "support/sanitizer.h"
#include "support/serve_session.h"
#include "support/store_file.h"
#include "support/swtpm.h"

namespace quorvane::testing {
namespace {

constexpr std::size_t kPiece = 12;

TEST(StoreResidueTest, ThePresenceKeyLeavesNoTraceInAServingHelper) {
    SKIP_WITHOUT_ROOT("reading a non-dumpable process's memory needs root");
#ifdef QUORVANE_TEST_SANITIZED
    GTEST_SKIP()
        << "sanitizer allocators keep their own copies; the scan runs in the ordinary build";
#endif
    TempDir home;
    // A software key pair in the file store, as an earlier version made it (no key is made there
    // any more), and a blob that version wrapped to it: the helper reads the key to open it.
    std::string blob;
    {
        platform::FileItemStore file(storeFile(home.path()));
        SecretBytes scalar = platform::p256::generateScalar();
        ASSERT_TRUE(file.addKeyItem(values::keyTag, scalar.span()));
        blob = base64Encode(
            platform::ecies::encrypt(platform::p256::publicPoint(scalar.span()), Bytes(32, 7)));
    }
    PrivateSystemBus polkit;
    polkit.startPolkit();
    polkit.setAllowed(true);
    EnvironmentOverrides environment = polkit.environment();
    environment["XDG_DATA_HOME"] = home.path();
    environment["QUORVANE_TEST_TPM_TCTI"] = "device:/nonexistent/quorvane/tpmrm0";
    ServeSession session(environment);
    std::string sessionId;
    // Twice: each finds the key pair in the store and uses it.
    for (int i = 0; i < 2; ++i) {
        sessionId =
            session
                .ok(R"({"cmd":"unwrap_touchid","blob":)" + testing::quoted(blob) + "}")["sessionId"]
                .str();
    }
    std::string privateKey =
        StoreDatabase(storeFile(home.path())).text("SELECT value FROM key_items");
    ASSERT_GE(privateKey.size(), kPiece) << "no presence key was stored";

    std::vector<std::vector<Occurrence>> found =
        findPieces(session.helper().pid(), {privateKey}, kPiece);
    EXPECT_TRUE(found[0].empty()) << found[0].size() << " pieces of the private key, the first at "
                                  << (found[0].empty() ? "" : found[0][0].mapping) << " +"
                                  << (found[0].empty() ? 0 : found[0][0].offset);
    session.ok(R"({"cmd":"lock_session","sessionId":")" + sessionId + "\"}");
}

// The presence key's shared secret Z with a blob's ephemeral key opens the blob: after an unwrap
// through the TPM, directly or through the key service, no copy of Z may stay behind, in the
// helper or in the service (ESAPI's response buffers and the D-Bus message that carried it
// included). The test makes the blob itself, with an ephemeral key it knows, so it knows Z.
struct SharedSecretCase {
    const char* name;
    bool throughTheService;
};

class SharedSecretResidueTest : public ::testing::TestWithParam<SharedSecretCase> {};

TEST_P(SharedSecretResidueTest, NoCopyOfTheSharedSecretStays) {
    SKIP_WITHOUT_ROOT("reading a non-dumpable process's memory needs root");
#ifdef QUORVANE_TEST_SANITIZED
    GTEST_SKIP()
        << "sanitizer allocators keep their own copies; the scan runs in the ordinary build";
#endif
    SKIP_WITHOUT_SWTPM();
    TempDir home;
    PrivateSystemBus bus;
    bus.startPolkit();
    bus.setAllowed(true);
    Swtpm tpm;
    std::unique_ptr<KeyServiceProcess> service;
    EnvironmentOverrides environment = bus.environment();
    environment["XDG_DATA_HOME"] = home.path();
    environment["QUORVANE_TEST_TPM_TCTI"] = tpm.tcti();
    if (GetParam().throughTheService) {
        service = std::make_unique<KeyServiceProcess>(bus.address(), tpm.tcti());
        environment["QUORVANE_TEST_TPM_TCTI"] = "device:/nonexistent/quorvane/tpmrm0";
    }
    ServeSession session(environment);
    const std::string sessionId = session.createSession();
    session.ok(R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}");

    Bytes point;
    if (service) {
        point = service->publicKey().value();
    } else {
        std::optional<SecretBytes> item = platform::FileItemStore(storeFile(home.path()))
                                              .findKeyItem(platform::TpmKeyStore::kTag);
        ASSERT_TRUE(item) << "no TPM key item in the user's store";
        const platform::tpm::TssLibrary* tss = platform::tpm::tssLibrary();
        ASSERT_NE(tss, nullptr);
        std::optional<platform::tpm::KeyItem> key =
            platform::tpm::decodeKeyItem(*tss, item->span());
        ASSERT_TRUE(key);
        point = platform::tpm::publicPoint(*key);
    }
    SecretBytes ephemeral = platform::p256::generateScalar();
    SecretBytes z = platform::p256::sharedSecret(ephemeral.span(), point);
    const std::string blob =
        base64Encode(platform::ecies::encryptWithEphemeral(point, ephemeral.span(), Bytes(32, 7)));
    for (int i = 0; i < 2; ++i) {
        session.ok(R"({"cmd":"unwrap_touchid","blob":)" + testing::quoted(blob) + "}");
    }
    session.ok(R"({"cmd":"lock_session","sessionId":")" + sessionId + "\"}");

    const std::string secret(reinterpret_cast<const char*>(z.data()), z.size());
    std::vector<std::pair<std::string, pid_t>> processes{{"helper", session.helper().pid()}};
    if (service) processes.emplace_back("key service", service->pid());
    for (const auto& [who, pid] : processes) {
        std::vector<Occurrence> found = findPieces(pid, {secret}, kPiece)[0];
        EXPECT_TRUE(found.empty()) << found.size() << " pieces of Z in the " << who
                                   << ", the first at " << (found.empty() ? "" : found[0].mapping)
                                   << " +" << (found.empty() ? 0 : found[0].offset);
    }
}

INSTANTIATE_TEST_SUITE_P(Rungs, SharedSecretResidueTest,
                         ::testing::Values(SharedSecretCase{"direct_tpm", false},
                                           SharedSecretCase{"key_service", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvane::testing
