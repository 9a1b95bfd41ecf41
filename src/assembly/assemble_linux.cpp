// The one place that assembles the platform services of a Linux machine. For each service the
// backends are tried in the order below, and the first that answers here is used; each is chosen
// and opened when first needed, so a mode that needs no service starts none. docs/platform.md
// lists the order and the test settings; docs/presence.md the protection ladder of the key.
//
// This file is also the only production code that reads a test setting: each one points a
// backend at a private service a test suite started.

#include <cstdlib>
#include <optional>
#include <string>

#include "file_store/file_store.h"
#include "key_service/service_key_store.h"
#include "keyring/secret_service_item_store.h"
#include "keyring/secret_service_probe.h"
#include "platform/key_ladder.h"
#include "platform/keyring_key_store.h"
#include "platform/migrating_item_store.h"
#include "platform/services.h"
#include "platform/unusable_item_store.h"
#include "polkit/polkit_client.h"
#include "polkit/polkit_presence.h"
#include "polkit/terminal_agent.h"
#include "tpm/tpm_key_store.h"

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
// setting names a software TPM in one of the forms tpm/tcti.h accepts; any other form
// (a library to load, in particular) is refused when the TPM is opened, with the reason.
std::string tpmTcti() {
    return testSetting("QUORVANE_TEST_TPM_TCTI").value_or(TpmKeyStore::kDeviceTcti);
}

// ItemStorePlace is the choice of where this session keeps its items: the desktop keyring, the
// file store, or nowhere for now (a keyring that is there but does not answer). It is made once,
// when first needed (the probe talks to the session bus, which a mode that keeps no item should
// not pay for), and both the item store and the key ladder's keyring rung follow that one
// decision.
class ItemStorePlace {
  public:
    const SecretServiceProbe& probe() {
        if (!probe_) probe_ = probeSecretService();
        return *probe_;
    }
    bool isDesktopKeyring() { return probe().answer == SecretServiceProbe::Answer::answers; }

  private:
    std::optional<SecretServiceProbe> probe_;
};

// presenceKeys builds the protection ladder of the presence key, strongest first: (a) the key
// service on the system bus, which keeps the key out of the user's reach (in a TPM, or in its own
// state directory where there is none); then, over the session's item store: (b) the TPM itself,
// for a user who can reach it; (c) a keyring key, made only when the item store is the desktop
// keyring. Keys made by earlier versions under the one old tag are found by the rung of their
// format.
std::unique_ptr<KeyStore> presenceKeys(Services& services, std::shared_ptr<ItemStorePlace> place,
                                       std::shared_ptr<TerminalPrompt> terminal) {
    const std::string tcti = tpmTcti();
    const std::string bus = systemBusAddress();
    std::vector<KeyRung> rungs;
    rungs.push_back(KeyRung{
        "key service", [bus, terminal] { return std::make_unique<ServiceKeyStore>(bus, terminal); },
        [bus] { return ServiceKeyStore(bus).unavailableReason(); }});
    rungs.push_back(KeyRung{"TPM",
                            [&services, tcti] {
                                return std::make_unique<TpmKeyStore>(services.items(),
                                                                     services.presence(), tcti);
                            },
                            [tcti] { return TpmKeyStore::unavailableReason(tcti); }});
    rungs.push_back(KeyRung{"desktop keyring",
                            [&services] {
                                return std::make_unique<KeyringKeyStore>(services.items(),
                                                                         services.presence());
                            },
                            [place]() -> std::optional<std::string> {
                                if (place->isDesktopKeyring()) return std::nullopt;
                                if (!sessionBusAddress())
                                    return std::string("the session has no D-Bus session bus");
                                if (!place->probe().reason.empty()) return place->probe().reason;
                                return std::string("no Secret Service answers on the session bus");
                            }});
    return std::make_unique<KeyLadder>(std::move(rungs));
}

}  // namespace

std::unique_ptr<Services> assembleServices() {
    auto place = std::make_shared<ItemStorePlace>();
    // One text agent for the process, whichever check needs it first: started on the terminal
    // when no agent answers for this process, and kept for the next prompt.
    auto terminal = std::make_shared<TerminalAgent>();
    return std::make_unique<Services>(
        // Item store: the desktop keyring when the session bus has a Secret Service that answers
        // (with the file store behind it, so secrets stored there before are still found and
        // move into the keyring); the file store only when the session has no Secret Service at
        // all; a Secret Service that is there but does not answer fails every operation.
        [place](Services&) -> std::unique_ptr<ItemStore> {
            const SecretServiceProbe& probe = place->probe();
            if (probe.answer == SecretServiceProbe::Answer::unusable) {
                return std::make_unique<UnusableItemStore>(probe.reason);
            }
            if (probe.answer == SecretServiceProbe::Answer::absent) return makeFileStore();
            return std::make_unique<MigratingItemStore>(std::make_unique<SecretServiceItemStore>(),
                                                        makeFileStore());
        },
        // Key store: the protection ladder.
        [place, terminal](Services& services) { return presenceKeys(services, place, terminal); },
        // Presence: polkit on the system bus.
        [terminal](Services&) -> std::unique_ptr<Presence> {
            return std::make_unique<PolkitPresence>(systemBusAddress(), terminal);
        });
}

}  // namespace quorvane::platform
