#include "platform/keyring_key_store.h"

#include <cctype>
#include <string>

#include "base/platform_error.h"
#include "base/process_values.h"
#include "crypto/ecies.h"
#include "crypto/p256.h"
#include "platform/key_item_marker.h"

namespace quorvane::platform {
namespace {

using Cause = KeyStoreError::Cause;
using Step = KeyStoreError::Step;

// A keyring presence key for one request. `request` is set when the key was found for use: only
// then may it decrypt, and only after the person confirmed.
class KeyringPresenceKey final : public PresenceKey {
  public:
    KeyringPresenceKey(SecretBytes scalar, Presence& presence, std::optional<PromptRequest> request)
        : point_(p256::publicPoint(scalar.span())),
          scalar_(std::move(scalar)),
          presence_(presence),
          request_(request) {}

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        try {
            return ecies::encrypt(point_, plaintext);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::encrypt, failure.description());
        }
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        if (!request_) throw KeyStoreError(Step::decrypt, "the key was not loaded for use");
        refuseMalformedBlob(blob);
        PresenceAnswer answer{true, {}};
        try {
            // findForUse asked whether a prompt can be offered, moments ago.
            PromptRequest request = *request_;
            request.availabilityChecked = true;
            if (!request.confirmed) answer = presence_.confirm(request);
        } catch (const PresenceUnavailable& unavailable) {
            answer = {false, unavailable.reason()};
        }
        if (!answer.passed) {
            throw KeyStoreError(Step::decrypt, answer.failure.empty()
                                                   ? "user presence was not confirmed"
                                                   : answer.failure);
        }
        try {
            return ecies::decrypt(scalar_.span(), blob);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::decrypt, failure.description(), Cause::notThisKey);
        }
    }

  private:
    Bytes point_;
    SecretBytes scalar_;
    Presence& presence_;
    std::optional<PromptRequest> request_;
};

// The stored scalar: the item under the store's own tag, else a keyring key item under the tag
// of earlier versions (which a TPM key item, told apart by its marker, may hold instead); nothing
// when neither holds one. Bytes that make no key are damage, not absence: reported as the
// store's "corrupt" failure so a lookup never reads as "no key" and leads to a second key.
std::optional<SecretBytes> storedScalar(ItemStore& items) {
    std::optional<SecretBytes> scalar = items.findKeyItem(KeyringKeyStore::kTag);
    if (!scalar) {
        scalar = items.findKeyItem(values::keyTag);
        if (scalar && tpm::isKeyItem(scalar->span())) return std::nullopt;
    }
    if (scalar && !p256::isValidScalar(scalar->span())) {
        throw ItemStoreError(ItemStoreError::Step::damaged, ItemStatus::damaged);
    }
    return scalar;
}

}  // namespace

std::unique_ptr<PresenceKey> KeyringKeyStore::find() {
    try {
        std::optional<SecretBytes> scalar = storedScalar(items_);
        if (!scalar) return nullptr;
        return std::make_unique<KeyringPresenceKey>(std::move(*scalar), presence_, std::nullopt);
    } catch (const std::exception&) {
        return nullptr;  // a failed lookup is not told apart from absence here
    }
}

std::unique_ptr<PresenceKey> KeyringKeyStore::findForUse(const PromptRequest& request) {
    if (!request.confirmed) {
        if (std::optional<std::string> reason = presence_.unavailableReason()) {
            throw PresenceUnavailable(std::move(*reason));
        }
    }
    std::optional<SecretBytes> scalar;
    try {
        scalar = storedScalar(items_);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::load, failure.detail());
    }
    if (!scalar) return nullptr;
    return std::make_unique<KeyringPresenceKey>(std::move(*scalar), presence_, request);
}

std::unique_ptr<PresenceKey> KeyringKeyStore::create() {
    SecretBytes scalar;
    try {
        scalar = p256::generateScalar();
    } catch (const PlatformError& failure) {
        throw KeyStoreError(Step::create, failure.description());
    }
    bool added = false;
    std::string status = statusText(ItemStatus::duplicate);
    try {
        added = items_.addKeyItem(kTag, scalar.span());
    } catch (const ItemStoreError& failure) {
        status = failure.detail();
    }
    if (!added) {
        // Never replace a stored key: every blob made for it would be stranded.
        // The store answers with a status number or in words; either reads as a sentence.
        bool number = !status.empty() &&
                      (status[0] == '-' || std::isdigit(static_cast<unsigned char>(status[0])));
        throw KeyStoreError(Step::create,
                            number ? "the new key could not be stored (status " + status + ")"
                                   : "the new key could not be stored: " + status);
    }
    return std::make_unique<KeyringPresenceKey>(std::move(scalar), presence_, std::nullopt);
}

void KeyringKeyStore::remove() {
    try {
        items_.deleteKeyItem(kTag);
        items_.deleteKeyItem(values::keyTag);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::remove, failure.detail());
    }
}

bool KeyringKeyStore::canCreate() {
    try {
        // A store that cannot be read now (a locked keyring) could not keep a new key either.
        storedScalar(items_);
        return p256::isValidScalar(p256::generateScalar().span());
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace quorvane::platform
