#include "platform/linux/polkit_presence.h"

#include "platform/linux/polkit_client.h"

namespace quorvane::platform {

std::optional<std::string> PolkitPresence::unavailableReason() {
    return polkit::unavailableReason(busAddress_);
}

PresenceAnswer PolkitPresence::confirm(const PromptRequest& request) {
    if (!request.availabilityChecked) {
        if (std::optional<std::string> reason = unavailableReason()) {
            throw PresenceUnavailable(std::move(*reason));
        }
    }
    polkit::Answer answer =
        polkit::ask(busAddress_, true, polkit::kPromptTimeout, request.cancelOnHangUp);
    return {answer.passed, std::move(answer.failure)};
}

}  // namespace quorvane::platform
