#include "key_service/service_key_store.h"

#include "base/platform_error.h"
#include "crypto/ecies.h"
#include "crypto/p256.h"
#include "key_service/key_service_interface.h"
#include "platform/key_ladder.h"

namespace quorvane::platform {
namespace {

using Cause = KeyStoreError::Cause;
using Step = KeyStoreError::Step;
using key_service::CallFailed;
using key_service::describe;
using key_service::serviceAbsent;
namespace errors = key_service::errors;

// failedRung is the ladder's stop for a service that may be installed and did not answer.
RungFailed failedRung(const CallFailed& failure) {
    return RungFailed("the key service (" + std::string(key_service::kBusName) +
                      ") cannot be asked now (" + describe(failure) + ")");
}

class ServicePresenceKey final : public PresenceKey {
  public:
    // A key for encryption only (`request` empty) or bound to a prompt request.
    ServicePresenceKey(const key_service::Client& client, Bytes point,
                       std::optional<PromptRequest> request, TerminalPrompt* terminal = nullptr)
        : client_(client),
          point_(std::move(point)),
          request_(std::move(request)),
          terminal_(terminal) {}

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
        refuseMalformedBlob(blob);
        SecretBytes secrets;
        try {
            secrets = askService(blob.first(p256::kPointSize));
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
    // askService has the service ask the person and compute the shared secrets; when it found no
    // agent to ask with, the terminal prompt is started, where there is one, and it is asked
    // once more.
    SecretBytes askService(std::span<const std::uint8_t> point) const {
        try {
            return client_.decrypt(point, request_->cancelOnHangUp);
        } catch (const CallFailed& failure) {
            if (failure.name() != errors::kNoAgent || terminal_ == nullptr || !terminal_->start())
                throw;
        }
        return client_.decrypt(point, request_->cancelOnHangUp);
    }

    const key_service::Client& client_;
    Bytes point_;
    std::optional<PromptRequest> request_;
    TerminalPrompt* terminal_;
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
        if (serviceAbsent(failure)) return nullptr;
        throw KeyStoreError(Step::load, describe(failure));
    }
    if (status.keys == 0) return nullptr;
    return std::make_unique<ServicePresenceKey>(client_, Bytes{}, request, terminal_.get());
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
        if (serviceAbsent(failure)) return;
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
    } catch (const CallFailed& failure) {
        if (serviceAbsent(failure)) return false;
        throw failedRung(failure);
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
        if (serviceAbsent(failure)) return describe(failure);
        throw failedRung(failure);
    }
}

}  // namespace quorvane::platform
