#include "polkit/polkit_presence.h"

#include "polkit/polkit_client.h"

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
    // Run from a terminal with no agent of a desktop: polkit's text agent asks there, serving
    // this process only, as polkit's own command-line tools do.
    if (!answer.passed && answer.failure == polkit::kNoAgent && terminal_ && terminal_->start()) {
        answer = polkit::ask(busAddress_, true, polkit::kPromptTimeout, request.cancelOnHangUp);
    }
    return {answer.passed, std::move(answer.failure)};
}

}  // namespace quorvane::platform
