#include "platform/linux/polkit_context.h"

#include <thread>

#include "platform/linux/polkit_client.h"

namespace quorvane::platform {

bool PolkitAuthContext::canEvaluatePolicy(int policy, std::optional<PlatformError>* error) {
    std::optional<std::string> reason =
        policy == kPolicyDeviceOwnerAuthenticationWithBiometrics
            ? polkit::unavailableReason()
            : std::optional<std::string>("this presence policy is not supported");
    if (!reason) return true;
    if (error != nullptr) *error = PlatformError(std::move(*reason));
    return false;
}

void PolkitAuthContext::evaluatePolicy(int policy, std::string, Reply reply) {
    const bool supported = policy == kPolicyDeviceOwnerAuthenticationWithBiometrics;
    const bool allowInteraction = !interactionNotAllowed_;
    // The thread owns everything it uses, so the context may be gone before polkit answers.
    std::thread([reply = std::move(reply), supported, allowInteraction] {
        polkit::Answer answer =
            supported ? polkit::ask(allowInteraction)
                      : polkit::Answer{false, "this presence policy is not supported"};
        if (answer.passed) {
            reply(true, std::nullopt);
        } else {
            reply(false, PlatformError(std::move(answer.failure)));
        }
    }).detach();
}

}  // namespace quorvane::platform
