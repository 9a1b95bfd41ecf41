#include "macos/mac_services.h"

#include "macos/mac_item_store.h"
#include "macos/mac_key_store.h"
#include "macos/mac_presence.h"

namespace quorvane::platform {

std::unique_ptr<Services> makeMacServices(SecurityFramework& framework) {
    return std::make_unique<Services>(
        [&framework](Services&) { return std::make_unique<MacItemStore>(framework); },
        [&framework](Services&) { return std::make_unique<MacKeyStore>(framework); },
        [&framework](Services&) { return std::make_unique<MacPresence>(framework); });
}

}  // namespace quorvane::platform
