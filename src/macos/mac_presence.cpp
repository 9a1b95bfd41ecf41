#include "macos/mac_presence.h"

#include <semaphore>

namespace quorvane::platform {

std::shared_ptr<AuthContext> makeEvaluableContext(SecurityFramework& framework) {
    std::shared_ptr<AuthContext> context = framework.createAuthContext();
    std::optional<PlatformError> error;
    if (context &&
        context->canEvaluatePolicy(kPolicyDeviceOwnerAuthenticationWithBiometrics, &error)) {
        return context;
    }
    throw PresenceUnavailable(error ? error->description() : std::string("no biometrics"));
}

std::optional<std::string> MacPresence::unavailableReason() {
    try {
        makeEvaluableContext(framework_);  // the context is dropped unused
        return std::nullopt;
    } catch (const PresenceUnavailable& unavailable) {
        return unavailable.reason();
    }
}

PresenceAnswer MacPresence::confirm(const PromptRequest& request) {
    std::shared_ptr<AuthContext> context = makeEvaluableContext(framework_);
    struct Outcome {
        bool passed = false;
        std::optional<PlatformError> error;
        std::counting_semaphore<> done{0};
    };
    // The reply handler shares the outcome with this call, so it stays valid for as long as the
    // framework keeps the handler, even past our return.
    auto outcome = std::make_shared<Outcome>();
    context->evaluatePolicy(kPolicyDeviceOwnerAuthenticationWithBiometrics,
                            std::string(request.reason),
                            [outcome](bool success, std::optional<PlatformError> error) {
                                outcome->passed = success;  // written before the release orders it
                                outcome->error = std::move(error);
                                outcome->done.release();
                            });
    outcome->done.acquire();
    if (outcome->passed) return {true, {}};
    return {false, outcome->error ? outcome->error->description() : std::string()};
}

}  // namespace quorvane::platform
