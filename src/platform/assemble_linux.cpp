// The one place that assembles the platform services of a Linux machine. For each service the
// backends are tried in the order below, and the first that answers here is used; each is chosen
// and opened when first needed, so a mode that needs no service starts none. docs/platform.md
// lists the order and the test settings.
//
// This file is also the only production code that reads a test setting: each one points a
// backend at a private service a test suite started.

#include <cstdlib>
#include <string>

#include "platform/linux/file_item_store.h"
#include "platform/linux/polkit_client.h"
#include "platform/linux/polkit_presence.h"
#include "platform/linux/software_key_store.h"
#include "platform/migrating_item_store.h"
#include "platform/secret_service/secret_service_item_store.h"
#include "platform/secret_service/secret_service_probe.h"
#include "platform/services.h"

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

}  // namespace

std::unique_ptr<Services> assembleServices() {
    return std::make_unique<Services>(
        // Item store: the desktop keyring when the session bus has a Secret Service that answers
        // (with the file store behind it, so secrets stored there before are still found and
        // move into the keyring), else the file store.
        [](Services&) -> std::unique_ptr<ItemStore> {
            if (!secretServiceAnswers()) return makeFileItemStore();
            return std::make_unique<MigratingItemStore>(std::make_unique<SecretServiceItemStore>(),
                                                        makeFileItemStore());
        },
        // Key store: a software key kept in the item store.
        [](Services& services) -> std::unique_ptr<KeyStore> {
            return std::make_unique<SoftwareKeyStore>(services.items(), services.presence());
        },
        // Presence: polkit on the system bus.
        [](Services&) -> std::unique_ptr<Presence> {
            return std::make_unique<PolkitPresence>(systemBusAddress());
        });
}

}  // namespace quorvane::platform
