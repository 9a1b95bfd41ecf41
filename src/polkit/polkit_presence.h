#pragma once

#include <string>

#include "platform/presence.h"

namespace quorvane::platform {

// PolkitPresence asks polkit, on the system bus at `busAddress`, whether the person confirms the
// action com.quorvane.helper.unlock. The dialog shows the action's message from the installed
// policy file, which is the helper's one prompt text: polkit takes no message from an
// unprivileged caller, so PromptRequest::reason is not sent. Can be offered when the bus answers,
// polkit owns its name (or the bus starts it on demand) and the action is registered.
class PolkitPresence final : public Presence {
  public:
    explicit PolkitPresence(std::string busAddress) : busAddress_(std::move(busAddress)) {}

    std::optional<std::string> unavailableReason() override;
    PresenceAnswer confirm(const PromptRequest& request) override;

  private:
    std::string busAddress_;
};

}  // namespace quorvane::platform
