#include "platform/linux/software_key.h"

#include <semaphore>

#include "platform/linux/ecies.h"
#include "platform/linux/p256.h"
#include "platform/linux/polkit_context.h"

namespace quorvane::platform {
namespace {

// Access-control flags that put a person in front of every use of the key.
constexpr std::uint64_t kUserPresence = 0x1;
constexpr std::uint64_t kBiometryAny = 0x2;
constexpr std::uint64_t kDevicePasscode = 0x10;
constexpr std::uint64_t kCompanion = 0x20;
constexpr std::uint64_t kPresenceFlags = kUserPresence | kBiometryAny |
                                         kSecAccessControlBiometryCurrentSet | kDevicePasscode |
                                         kCompanion;

std::string reasonOf(const AuthContext& context) {
    if (const auto* polkitContext = dynamic_cast<const PolkitAuthContext*>(&context)) {
        return polkitContext->localizedReason();
    }
    return {};
}

}  // namespace

std::shared_ptr<SoftwareKey> SoftwareKey::makePrivate(SecretBytes scalar,
                                                      std::uint64_t accessControlFlags,
                                                      std::shared_ptr<AuthContext> context) {
    if (!p256::isValidScalar(scalar.span())) return nullptr;
    std::shared_ptr<SoftwareKey> key(new SoftwareKey);
    key->point_ = p256::publicPoint(scalar.span());
    key->scalar_ = std::move(scalar);
    key->accessControlFlags_ = accessControlFlags;
    key->context_ = std::move(context);
    return key;
}

std::shared_ptr<SoftwareKey> SoftwareKey::makePublic(Bytes point) {
    std::shared_ptr<SoftwareKey> key(new SoftwareKey);
    key->point_ = std::move(point);
    return key;
}

bool SoftwareKey::demandsPresence() const { return (accessControlFlags_ & kPresenceFlags) != 0; }

std::shared_ptr<SoftwareKey> SoftwareKey::publicKey() const { return makePublic(point_); }

Bytes SoftwareKey::encrypt(std::span<const std::uint8_t> plaintext) const {
    return ecies::encrypt(point_, plaintext);
}

SecretBytes SoftwareKey::decrypt(std::span<const std::uint8_t> blob) const {
    if (!isPrivate()) throw PlatformError("a public key cannot decrypt");
    ecies::checkShape(blob);
    if (demandsPresence()) {
        std::shared_ptr<AuthContext> context = context_;
        if (!context) context = std::make_shared<PolkitAuthContext>();
        confirmPresence(*context, reasonOf(*context));
    }
    return ecies::decrypt(scalar_.span(), blob);
}

void confirmPresence(AuthContext& context, std::string reason) {
    struct Outcome {
        bool passed = false;
        std::optional<PlatformError> error;
        std::counting_semaphore<> done{0};
    };
    // Shared with the reply, which may outlive this call if the platform keeps the handler.
    auto outcome = std::make_shared<Outcome>();
    context.evaluatePolicy(kPolicyDeviceOwnerAuthenticationWithBiometrics, std::move(reason),
                           [outcome](bool passed, std::optional<PlatformError> error) {
                               outcome->passed = passed;
                               outcome->error = std::move(error);
                               outcome->done.release();
                           });
    outcome->done.acquire();
    if (outcome->passed) return;
    if (outcome->error) throw *outcome->error;
    throw PlatformError("user presence was not confirmed");
}

}  // namespace quorvane::platform
