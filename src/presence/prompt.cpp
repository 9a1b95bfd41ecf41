#include "presence/prompt.h"

#include "base/process_values.h"

namespace quorvane {

HelperError unavailableError(const platform::PresenceUnavailable& unavailable) {
    return HelperError("unavailable: " + unavailable.reason());
}

void requirePromptAvailable(platform::Presence& presence) {
    if (auto reason = presence.unavailableReason()) {
        throw unavailableError(platform::PresenceUnavailable(std::move(*reason)));
    }
}

bool canMakePresenceKey(platform::KeyStore& keys) {
    try {
        return keys.canCreate();
    } catch (const platform::PresenceUnavailable& unavailable) {
        throw unavailableError(unavailable);
    } catch (const std::exception&) {
        return false;
    }
}

bool promptOnly(platform::Presence& presence, int cancelOnHangUp) {
    platform::PromptRequest request{values::promptText, cancelOnHangUp};
    try {
        return presence.confirm(request).passed;
    } catch (const platform::PresenceUnavailable& unavailable) {
        throw unavailableError(unavailable);
    }
}

}  // namespace quorvane
