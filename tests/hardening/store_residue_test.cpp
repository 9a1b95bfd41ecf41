// A serving helper keeps no stored secret in memory between operations: after wrap_touchid made
// and used the presence key pair, nothing of the private key's bytes (as the store keeps them) is
// left anywhere in the helper, SQLite's page cache included. Reads the helper's memory through
// /proc/<pid>/mem, which needs root: the helper is non-dumpable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hardening/process_memory.h"
#include "support/store_file.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/software_key_store.h"
#include "support/fake_services.h"
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
    // any more: a machine without a TPM or a keyring makes none), found and used by the helper.
    {
        platform::FileItemStore file(storeFile(home.path()));
        ScriptedPresence presence;
        platform::SoftwareKeyStore(file, presence).create();
    }
    ServeSession session({{"XDG_DATA_HOME", home.path()},
                          {"QUORVANE_TEST_TPM_TCTI", "device:/nonexistent/quorvane/tpmrm0"}});
    const std::string sessionId = session.createSession();
    // Twice: each finds the key pair in the store and uses it.
    for (int i = 0; i < 2; ++i) {
        session.ok(R"({"cmd":"wrap_touchid","sessionId":")" + sessionId + "\"}");
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
