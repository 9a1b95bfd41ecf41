// The one place that assembles the platform services of a Linux machine. For each service the
// backends are tried in the order below, and the first that answers here is used; each is chosen
// and opened when first needed, so a mode that needs no service starts none. docs/platform.md
// lists the order and docs/presence.md the protection ladder of the presence key.
//
// This file is also the only production code that reads a test setting: each one points a
// backend at a private service a test suite started.

#include <cstdlib>
#include <string>

#include "platform/key_ladder.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/polkit_client.h"
#include "platform/linux/polkit_presence.h"
#include "platform/linux/software_key_store.h"
#include "platform/services.h"
#include "platform/tpm/tpm_key_store.h"

namespace quorvane::platform {
namespace {

// testSetting returns the value of the test setting `name`, or nothing when it is unset or
// empty.
std::optional<std::string> testSetting(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string systemBusAddress() {
    return testSetting("QUORVANE_TEST_SYSTEM_BUS").value_or(std::string(polkit::kSystemBusAddress));
}

// The TPM is named here, never left to the TCTI loader's search (docs/presence.md).
std::string tpmTcti() {
    return testSetting("QUORVANE_TEST_TPM_TCTI").value_or(TpmKeyStore::kDeviceTcti);
}

// keyringItemStore returns the desktop keyring's item store when this session has one, or why
// not. The rung of the ladder that keeps a software key in the keyring is offered exactly when
// this answers a store.
struct KeyringStore {
    std::unique_ptr<ItemStore> store;  // handed to the rung when it is opened
    std::string missing;               // why there is none, when the session has none
    bool opened = false;
};
KeyringStore keyringItemStore() { return {nullptr, "this build has no Secret Service item store"}; }

// SoftwareKeyring is the software key store over the keyring's item store, which it owns.
class SoftwareKeyring final : public KeyStore {
  public:
    SoftwareKeyring(std::unique_ptr<ItemStore> items, Presence& presence)
        : items_(std::move(items)), keys_(*items_, presence) {}
    std::unique_ptr<PresenceKey> find() override { return keys_.find(); }
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override {
        return keys_.findForUse(request);
    }
    std::unique_ptr<PresenceKey> create() override { return keys_.create(); }
    void remove() override { keys_.remove(); }
    bool canCreate() override { return keys_.canCreate(); }

  private:
    std::unique_ptr<ItemStore> items_;
    SoftwareKeyStore keys_;
};

// presenceKeys builds the protection ladder of the presence key, strongest first: (a) the TPM,
// (b) a software key in the desktop keyring, then the software key file of earlier versions,
// which keeps the keys made before the ladder but never gets a new one. The TPM's key item and
// the earlier software key live in the helper's own item store.
std::unique_ptr<KeyStore> presenceKeys(Services& services) {
    const std::string tcti = tpmTcti();
    std::vector<KeyRung> rungs;
    rungs.push_back(KeyRung{"TPM",
                            [&services, tcti] {
                                return std::make_unique<TpmKeyStore>(services.items(),
                                                                     services.presence(), tcti);
                            },
                            [tcti] { return TpmKeyStore::unavailableReason(tcti); }});

    // A session without a keyring still names the rung, so that a refusal to make a key says
    // what is missing; the rung is then never opened.
    auto keyring = std::make_shared<KeyringStore>(keyringItemStore());
    KeyRung desktopKeyring{"desktop keyring", nullptr, [keyring]() -> std::optional<std::string> {
                               if (keyring->store || keyring->opened) return std::nullopt;
                               return keyring->missing;
                           }};
    if (keyring->store) {
        desktopKeyring.open = [&services, keyring]() -> std::unique_ptr<KeyStore> {
            keyring->opened = true;
            return std::make_unique<SoftwareKeyring>(std::move(keyring->store),
                                                     services.presence());
        };
    }
    rungs.push_back(std::move(desktopKeyring));

    rungs.push_back(KeyRung{"software key file",
                            [&services] {
                                return std::make_unique<SoftwareKeyStore>(services.items(),
                                                                          services.presence());
                            },
                            {}});
    return std::make_unique<KeyLadder>(std::move(rungs));
}

}  // namespace

std::unique_ptr<Services> assembleServices() {
    return std::make_unique<Services>(
        // Item store: the file store.
        [](Services&) { return makeFileItemStore(); },
        // Key store: the protection ladder.
        [](Services& services) { return presenceKeys(services); },
        // Presence: polkit on the system bus.
        [](Services&) -> std::unique_ptr<Presence> {
            return std::make_unique<PolkitPresence>(systemBusAddress());
        });
}

}  // namespace quorvane::platform
