#pragma once

#include <memory>

#include "macos/security_framework.h"
#include "platform/presence.h"

namespace quorvane::platform {

// makeEvaluableContext returns a fresh authentication context on which the biometric policy can
// be evaluated now; otherwise raises PresenceUnavailable with the framework's reason ("no
// biometrics" when it gave none). Shared by MacPresence and MacKeyStore, which binds a key to such
// a context.
std::shared_ptr<AuthContext> makeEvaluableContext(SecurityFramework& framework);

// MacPresence is the biometric prompt of the framework: a fresh context per operation, the
// biometric policy, the reply awaited on the calling thread. The prompt cannot be withdrawn from
// here, so PromptRequest::cancelOnHangUp is not watched.
class MacPresence final : public Presence {
  public:
    explicit MacPresence(SecurityFramework& framework) : framework_(framework) {}

    std::optional<std::string> unavailableReason() override;
    PresenceAnswer confirm(const PromptRequest& request) override;

  private:
    SecurityFramework& framework_;
};

}  // namespace quorvane::platform
