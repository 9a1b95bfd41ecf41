#include "key_service/service_key_store.h"

#include "base/platform_error.h"
#include "crypto/ecies.h"
#include "crypto/p256.h"
#include "key_service/key_service_interface.h"

namespace quorvane::platform {
namespace {

using Cause = KeyStoreError::Cause;
using Step = KeyStoreError::Step;
using key_service::CallFailed;
using key_service::describe;
namespace errors = key_service::errors;

class ServicePresenceKey final : public PresenceKey {
  public:
    // A key for encryption only (`request` empty) or bound to a prompt request.
    ServicePresenceKey(const key_service::Client& client, Bytes point,
                       std::optional<PromptRequest> request)
        : client_(client), point_(std::move(point)), request_(std::move(request)) {}

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        try {
            // A blob for a key the service can no longer use could never be opened.
            key_service::ServiceStatus status = client_.status();
            if (status.exists && !status.usable) throw KeyStoreError(Step::encrypt, status.problem);
            return ecies::encrypt(point_, plaintext);
        } catch (const CallFailed& failure) {
            throw KeyStoreError(Step::encrypt, describe(failure));
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::encrypt, failure.description());
        }
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        if (!request_) throw KeyStoreError(Step::decrypt, "the key was not loaded for use");
        try {
            // Garbage is refused before anybody is asked.
            ecies::checkShape(blob);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::decrypt, failure.description());
        }
        SecretBytes secrets;
        try {
            secrets = client_.decrypt(blob.first(p256::kPointSize), request_->cancelOnHangUp);
        } catch (const CallFailed& failure) {
            if (failure.name() == errors::kUnavailable) throw PresenceUnavailable(failure.text());
            // A key gone or unusable since it was found: another key may still open the blob.
            const bool unusable =
                failure.name() == errors::kUnusable || failure.name() == errors::kNoKey;
            throw KeyStoreError(Step::decrypt, describe(failure),
                                unusable ? Cause::keyUnusable : Cause::other);
        }
        // One shared secret per key the user holds there; the one the blob was made for opens it.
        std::string last = "ecies authentication failed";
        for (std::size_t offset = 0; offset + p256::kSharedSecretSize <= secrets.size();
             offset += p256::kSharedSecretSize) {
            try {
                return ecies::decryptWithSharedSecret(
                    secrets.span().subspan(offset, p256::kSharedSecretSize), blob);
            } catch (const PlatformError& failure) {
                last = failure.description();
            }
        }
        throw KeyStoreError(Step::decrypt, last, Cause::notThisKey);
    }

  private:
    const key_service::Client& client_;
    Bytes point_;
    std::optional<PromptRequest> request_;
};

}  // namespace

std::unique_ptr<PresenceKey> ServiceKeyStore::find() {
    try {
        std::optional<key_service::ServicePublicKey> key = client_.publicKey();
        if (!key) return nullptr;
        return std::make_unique<ServicePresenceKey>(client_, std::move(key->point), std::nullopt);
    } catch (const CallFailed&) {
        return nullptr;
    }
}

std::unique_ptr<PresenceKey> ServiceKeyStore::findForUse(const PromptRequest& request) {
    key_service::ServiceStatus status;
    try {
        status = client_.status();
    } catch (const CallFailed& failure) {
        // A machine without the service has no key there; the lower rungs are asked.
        if (failure.name().empty() ||
            failure.name() == "org.freedesktop.DBus.Error.ServiceUnknown") {
            return nullptr;
        }
        throw KeyStoreError(Step::load, describe(failure));
    }
    if (status.keys == 0) return nullptr;
    return std::make_unique<ServicePresenceKey>(client_, Bytes{}, request);
}

std::unique_ptr<PresenceKey> ServiceKeyStore::create() {
    try {
        key_service::ServicePublicKey key = client_.createKey();
        return std::make_unique<ServicePresenceKey>(client_, std::move(key.point), std::nullopt);
    } catch (const CallFailed& failure) {
        throw KeyStoreError(Step::create, describe(failure));
    }
}

void ServiceKeyStore::remove() {
    try {
        client_.deleteKey();
    } catch (const CallFailed& failure) {
        // Without the service there is no key of it to delete.
        if (failure.name().empty() ||
            failure.name() == "org.freedesktop.DBus.Error.ServiceUnknown") {
            return;
        }
        throw KeyStoreError(Step::remove, describe(failure));
    }
}

bool ServiceKeyStore::canCreate() {
    try {
        return client_.status().usable;
    } catch (const CallFailed&) {
        return false;
    }
}

bool ServiceKeyStore::holdsKey() {
    try {
        return client_.status().keys > 0;
    } catch (const CallFailed&) {
        return false;
    }
}

std::optional<std::string> ServiceKeyStore::unavailableReason() {
    try {
        key_service::ServiceStatus status = client_.status();
        // A service that cannot make a TPM key still answers for this machine: a lower rung
        // would make a weaker key for good where the TPM only waits for its configuration.
        if (!status.exists && !status.usable && status.kind != key_service::kTpmKind) {
            return status.problem;
        }
        return std::nullopt;
    } catch (const CallFailed& failure) {
        return describe(failure);
    }
}

}  // namespace quorvane::platform
