// A serving helper keeps no stored secret in memory between operations: after wrap_touchid made
// and used the presence key pair, nothing of the private key's bytes (as the store keeps them) is
// left anywhere in the helper, SQLite's page cache included. Reads the helper's memory through
// /proc/<pid>/mem, which needs root: the helper is non-dumpable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hardening/process_memory.h"
#include "keychain/store_file.h"
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
    ServeSession session({{"XDG_DATA_HOME", home.path()}});
    const std::string sessionId = session.createSession();
    // Twice: the first makes the key pair, the second finds it in the store and uses it.
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
