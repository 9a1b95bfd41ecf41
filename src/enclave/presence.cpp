#include "enclave/presence.h"

#include <cstdlib>
#include <semaphore>

#include "front/errors.h"
#include "front/exit_status.h"
#include "front/process_values.h"

namespace quorvane {

using platform::kPolicyDeviceOwnerAuthenticationWithBiometrics;

std::shared_ptr<platform::AuthContext> makeContext(platform::Platform& platform) {
    std::shared_ptr<platform::AuthContext> context = platform.createAuthContext();
    std::optional<PlatformError> error;
    if (context &&
        context->canEvaluatePolicy(kPolicyDeviceOwnerAuthenticationWithBiometrics, &error)) {
        return context;
    }
    throw HelperError("unavailable: " + (error ? error->description() : "no biometrics"));
}

bool supportsSecureEnclave(platform::Platform& platform) {
    namespace attr = platform::attr;
    namespace value = platform::value;
    auto privateAttributes = std::make_shared<platform::AttributeSet>();
    privateAttributes->set(attr::kSecAttrIsPermanent, false);
    platform::AttributeSet probe;
    probe.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    probe.set(attr::kSecAttrKeySizeInBits, std::int64_t{256});
    probe.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    probe.set(attr::kSecPrivateKeyAttrs,
              std::shared_ptr<const platform::AttributeSet>(std::move(privateAttributes)));
    try {
        std::optional<PlatformError> ignored;  // why a probe failed is not reported
        return platform.keyCreateRandomKey(probe, &ignored) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

void promptOnly(platform::Platform& platform) {
    std::shared_ptr<platform::AuthContext> context = makeContext(platform);
    // The reply handler shares both with this call, so they stay valid for as long as the
    // platform keeps the handler, even past our return.
    auto done = std::make_shared<std::counting_semaphore<>>(0);
    auto passed = std::make_shared<bool>(false);
    context->evaluatePolicy(kPolicyDeviceOwnerAuthenticationWithBiometrics,
                            std::string(values::promptText),
                            [done, passed](bool success, std::optional<PlatformError>) {
                                *passed = success;  // written before the release orders it
                                done->release();
                            });
    done->acquire();
    if (!*passed) std::exit(exit_status::kPromptFailed);
}

}  // namespace quorvane
