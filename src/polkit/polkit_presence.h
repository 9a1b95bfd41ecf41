#pragma once

#include <memory>
#include <string>

#include "platform/presence.h"

namespace quorvane::platform {

// PolkitPresence asks polkit, on the system bus at `busAddress`, whether the person confirms the
// action com.quorvane.helper.unlock. The dialog shows the action's message from the installed
// policy file, which is the helper's one prompt text: polkit takes details (and with them a
// message of the caller's) only from the action's owner, which the helper is not, so
// PromptRequest::reason is not sent. Can be offered when the bus answers, polkit owns its name
// (or the bus starts it on demand) and the action is registered.
//
// When no agent answers for this process, `terminal` (which may be null) is started and the
// check asked once more: run from a terminal, the person is asked there.
class PolkitPresence final : public Presence {
  public:
    PolkitPresence(std::string busAddress, std::shared_ptr<TerminalPrompt> terminal)
        : busAddress_(std::move(busAddress)), terminal_(std::move(terminal)) {}

    std::optional<std::string> unavailableReason() override;
    PresenceAnswer confirm(const PromptRequest& request) override;

  private:
    std::string busAddress_;
    std::shared_ptr<TerminalPrompt> terminal_;
};

}  // namespace quorvane::platform
