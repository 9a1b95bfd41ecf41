#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace quorvane::platform {

// PolkitAuthContext is the authentication context of the Linux backend: "can evaluate" asks
// whether polkit can be reached and knows the unlock action; evaluating asks polkit whether the
// person confirms the unlock action. The dialog shows the action's message from the installed
// policy file, which is the helper's one prompt text; polkit takes no message from an
// unprivileged caller, so the reason text is kept for the record only.
//
// A context is used by one operation on one thread; only the reply of evaluatePolicy comes on a
// thread of its own, and that thread touches nothing of the context.
class PolkitAuthContext final : public AuthContext {
  public:
    // canEvaluatePolicy answers yes for the presence policy when polkit can ask now; otherwise no,
    // with the reason in `error`.
    bool canEvaluatePolicy(int policy, std::optional<PlatformError>* error) override;
    // evaluatePolicy runs the check on a new thread and calls `reply` there once polkit answered
    // (or the prompt timed out). A refused check replies false with the reason as the error.
    void evaluatePolicy(int policy, std::string reason, Reply reply) override;
    void setLocalizedReason(std::string reason) override { reason_ = std::move(reason); }
    // setInteractionNotAllowed(true) makes later checks pass only when polkit can answer yes
    // without asking anybody (an administrator's rule); no dialog is shown.
    void setInteractionNotAllowed(bool notAllowed) override { interactionNotAllowed_ = notAllowed; }

    const std::string& localizedReason() const { return reason_; }
    bool interactionNotAllowed() const { return interactionNotAllowed_; }

  private:
    std::string reason_;
    bool interactionNotAllowed_ = false;
};

}  // namespace quorvane::platform
