// The presence key on a desktop session: its private half is an item of the desktop keyring, not
// bytes in the file store, and a key made earlier in the file store moves into the keyring when
// next used. Through the built helper, with a real gnome-keyring-daemon on a private session bus
// and a scriptable polkit on a private system bus.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/process_values.h"
#include "crypto/base64.h"
#include "platform/linux/ecies.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/p256.h"
#include "support/json.h"
#include "support/private_system_bus.h"
#include "support/serve_session.h"
#include "support/session_keyring.h"
#include "support/store_file.h"

namespace quorvane::testing {
namespace {

class PresenceKeyKeyringTest : public ::testing::Test {
  protected:
    PresenceKeyKeyringTest() {
        polkit.startPolkit();
        polkit.setAllowed(true);
    }

    EnvironmentOverrides environment(bool withSessionBus = true) const {
        EnvironmentOverrides environment = keyring.environment();
        environment.merge(polkit.environment());
        // No TPM, so the keyring is the strongest rung of the ladder here.
        environment["QUORVANE_TEST_TPM_TCTI"] = "device:/nonexistent/quorvane/tpmrm0";
        if (!withSessionBus) environment["DBUS_SESSION_BUS_ADDRESS"] = "";
        return environment;
    }
    // wrap opens a session in a new helper and wraps its key to the presence key (made on first
    // use); returns the blob.
    std::string wrap(bool withSessionBus) {
        ServeSession serving(environment(withSessionBus));
        std::string id = serving.createSession();
        return serving.ok(R"({"cmd":"wrap_touchid","sessionId":")" + id + "\"}")["blob"].str();
    }
    Json unwrap(const std::string& blob) {
        ServeSession serving(environment());
        return serving.call(R"({"cmd":"unwrap_touchid","blob":)" + quoted(blob) + "}");
    }
    std::size_t keyItemsInKeyring() const {
        std::string listing =
            "\n" + keyring.secretTool({"search", "--all", "kind", "quorvane-key-item"}).out;
        std::size_t count = 0;
        for (auto at = listing.find("\nlabel = "); at != std::string::npos;
             at = listing.find("\nlabel = ", at + 1)) {
            ++count;
        }
        return count;
    }
    std::string keyRowsInFileStore() const {
        std::filesystem::path file = storeFile(keyring.home() + "/.local/share");
        if (!std::filesystem::exists(file)) return "0";
        return StoreDatabase(file).text("SELECT count(*) FROM key_items");
    }

    PrivateSystemBus polkit;
    SessionKeyring keyring;
};

TEST_F(PresenceKeyKeyringTest, KeyIsMadeInTheKeyring) {
    std::string blob = wrap(true);
    EXPECT_EQ(keyItemsInKeyring(), 1u);
    EXPECT_EQ(keyRowsInFileStore(), "0");
    Json opened = unwrap(blob);
    EXPECT_TRUE(opened["ok"].boolean()) << opened["error"].str();
}

TEST_F(PresenceKeyKeyringTest, KeyFromTheFileStoreMovesIntoTheKeyringAndStillOpensOldBlobs) {
    // The key an earlier version made in the file store (where no key is made any more, and
    // which no new wrap uses), and a blob that version wrapped to it.
    std::string blob;
    {
        platform::FileItemStore file(storeFile(keyring.home() + "/.local/share"));
        SecretBytes scalar = platform::p256::generateScalar();
        ASSERT_TRUE(file.addKeyItem(values::keyTag, scalar.span()));
        blob = base64Encode(
            platform::ecies::encrypt(platform::p256::publicPoint(scalar.span()), Bytes(32, 7)));
    }
    EXPECT_EQ(keyRowsInFileStore(), "1");
    EXPECT_EQ(keyItemsInKeyring(), 0u);

    Json opened = unwrap(blob);
    EXPECT_TRUE(opened["ok"].boolean()) << opened["error"].str();
    EXPECT_EQ(keyItemsInKeyring(), 1u);
    EXPECT_EQ(keyRowsInFileStore(), "0");
    // Still the same key: the blob opens again, now from the keyring alone.
    Json again = unwrap(blob);
    EXPECT_TRUE(again["ok"].boolean()) << again["error"].str();
}

}  // namespace
}  // namespace quorvane::testing
