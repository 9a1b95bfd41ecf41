// The one place that assembles the platform services of a Linux machine. For each service the
// backends are tried in the order below, and the first that answers here is used; each is chosen
// and opened when first needed, so a mode that needs no service starts none. docs/platform.md
// lists the order and the test settings; docs/presence.md the protection ladder of the key.
//
// This file is also the only production code that reads a test setting: each one points a
// backend at a private service a test suite started.

#include <cstdlib>
#include <string>

#include "platform/key_ladder.h"
#include "platform/key_service/service_key_store.h"
#include "platform/linux/file_item_store.h"
#include "platform/linux/polkit_client.h"
#include "platform/linux/polkit_presence.h"
#include "platform/linux/software_key_store.h"
#include "platform/migrating_item_store.h"
#include "platform/secret_service/secret_service_item_store.h"
#include "platform/secret_service/secret_service_probe.h"
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

// The TPM is named here, never left to the TCTI loader's search (docs/presence.md). The test
// setting names a software TPM in one of the forms platform/tpm/tcti.h accepts; any other form
// (a library to load, in particular) is refused when the TPM is opened, with the reason.
std::string tpmTcti() {
    return testSetting("QUORVANE_TEST_TPM_TCTI").value_or(TpmKeyStore::kDeviceTcti);
}

// What the item store's selection found, for the key ladder: whether the item store is the
// desktop keyring. Unknown until the item store is made.
struct KeyringChoice {
    bool chosen = false;
};

// presenceKeys builds the protection ladder of the presence key, strongest first: (a) the key
// service on the system bus, which keeps the key out of the user's reach (in a TPM, or in its own
// state directory where there is none); then, over the session's item store: (b) the TPM itself,
// for a user who can reach it; (c) a software key, made only when the item store is the desktop
// keyring. Keys made by earlier versions under the one old tag are found by the rung of their
// format.
std::unique_ptr<KeyStore> presenceKeys(Services& services,
                                       std::shared_ptr<const KeyringChoice> keyring) {
    const std::string tcti = tpmTcti();
    const std::string bus = systemBusAddress();
    std::vector<KeyRung> rungs;
    rungs.push_back(KeyRung{"key service",
                            [bus] { return std::make_unique<ServiceKeyStore>(bus); },
                            [bus] { return ServiceKeyStore(bus).unavailableReason(); }});
    rungs.push_back(KeyRung{"TPM",
                            [&services, tcti] {
                                return std::make_unique<TpmKeyStore>(services.items(),
                                                                     services.presence(), tcti);
                            },
                            [tcti] { return TpmKeyStore::unavailableReason(tcti); }});
    rungs.push_back(KeyRung{
        "desktop keyring",
        [&services] {
            return std::make_unique<SoftwareKeyStore>(services.items(), services.presence());
        },
        [&services, keyring]() -> std::optional<std::string> {
            services.items();  // the selection decides whether there is a keyring
            if (keyring->chosen) return std::nullopt;
            if (!sessionBusAddress()) return std::string("the session has no D-Bus session bus");
            return std::string("no Secret Service answers on the session bus");
        }});
    return std::make_unique<KeyLadder>(std::move(rungs));
}

}  // namespace

std::unique_ptr<Services> assembleServices() {
    auto keyring = std::make_shared<KeyringChoice>();
    return std::make_unique<Services>(
        // Item store: the desktop keyring when the session bus has a Secret Service that answers
        // (with the file store behind it, so secrets stored there before are still found and
        // move into the keyring), else the file store.
        [keyring](Services&) -> std::unique_ptr<ItemStore> {
            if (!secretServiceAnswers()) return makeFileItemStore();
            keyring->chosen = true;
            return std::make_unique<MigratingItemStore>(std::make_unique<SecretServiceItemStore>(),
                                                        makeFileItemStore());
        },
        // Key store: the protection ladder.
        [keyring](Services& services) { return presenceKeys(services, keyring); },
        // Presence: polkit on the system bus.
        [](Services&) -> std::unique_ptr<Presence> {
            return std::make_unique<PolkitPresence>(systemBusAddress());
        });
}

}  // namespace quorvane::platform
