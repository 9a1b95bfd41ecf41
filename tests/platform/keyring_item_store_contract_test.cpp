// The item store contract, run against the desktop keyring store and the migrating store in
// front of it, on a real gnome-keyring-daemon.
#include <cstdlib>
#include <filesystem>

#include "platform/contract/item_store_contract.h"
#include "platform/linux/file_item_store.h"
#include "platform/migrating_item_store.h"
#include "platform/secret_service/secret_service_item_store.h"
#include "support/helper_process.h"
#include "support/session_keyring.h"

namespace quorvane::testing {
namespace {

// sharedKeyring is the one keyring of this test process: libsecret keeps one session bus
// connection per process, so every store object here talks to this bus.
SessionKeyring& sharedKeyring() {
    static SessionKeyring keyring;
    static bool pointed = [] {
        setenv("DBUS_SESSION_BUS_ADDRESS",
               keyring.environment()["DBUS_SESSION_BUS_ADDRESS"].c_str(), 1);
        return true;
    }();
    (void)pointed;
    return keyring;
}

// Each test starts on an unlocked, empty keyring; damage() locks it, which is how a keyring
// that cannot be read without a prompt looks to the store.
class KeyringFixture {
  public:
    KeyringFixture() {
        sharedKeyring().unlock();
        sharedKeyring().clear();
    }
    std::unique_ptr<platform::ItemStore> open() {
        return std::make_unique<platform::SecretServiceItemStore>();
    }
    bool damage() {
        sharedKeyring().lock();
        return true;
    }
};

// The keyring chosen, with a file store behind it in a scratch directory.
class MigratingFixture : public KeyringFixture {
  public:
    std::unique_ptr<platform::ItemStore> open() {
        return std::make_unique<platform::MigratingItemStore>(
            KeyringFixture::open(),
            std::make_unique<platform::FileItemStore>(std::filesystem::path(dir_.path()) /
                                                      "quorvane" / "keychain.sqlite3"));
    }

  private:
    TempDir dir_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Keyring, ItemStoreContract, KeyringFixture);
INSTANTIATE_TYPED_TEST_SUITE_P(KeyringOverFile, ItemStoreContract, MigratingFixture);

}  // namespace
}  // namespace quorvane::testing
