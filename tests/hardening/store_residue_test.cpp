// A serving helper keeps no stored secret in memory between operations: after unwrap_touchid read
// a software presence key from the user's store and used it, nothing of the private key's bytes
// (as the store keeps them) is left anywhere in the helper, SQLite's page cache included. Reads the helper's memory through
// /proc/<pid>/mem, which needs root: the helper is non-dumpable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hardening/process_memory.h"
#include "support/store_file.h"
#include "base/process_values.h"
#include "crypto/base64.h"
#include "platform/linux/ecies.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/p256.h"
#include "support/private_system_bus.h"
#include "support/sanitizer.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

constexpr std::size_t kPiece = 12;

TEST(StoreResidueTest, ThePresenceKeyLeavesNoTraceInAServingHelper) {
    if (geteuid() != 0) GTEST_SKIP() << "reading a non-dumpable process's memory needs root";
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
        sessionId = session.ok(R"({"cmd":"unwrap_touchid","blob":)" + testing::quoted(blob) + "}")
                        ["sessionId"].str();
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

}  // namespace
}  // namespace quorvane::testing
