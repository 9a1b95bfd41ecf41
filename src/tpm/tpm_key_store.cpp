#include "tpm/tpm_key_store.h"

#include "base/platform_error.h"
#include "base/process_values.h"
#include "crypto/ecies.h"
#include "tpm/tpm_context.h"
#include "tpm/tpm_key_item.h"
#include "tpm/tpm_key_operations.h"

namespace quorvane::platform {
namespace {

using Cause = KeyStoreError::Cause;
using Step = KeyStoreError::Step;
using tpm::TpmFailure;

class TpmPresenceKey final : public PresenceKey {
  public:
    // A key for encryption only (`presence` null) or bound to a prompt request.
    TpmPresenceKey(tpm::KeyItem key, std::string tcti, Presence* presence,
                   const PromptRequest* request)
        : key_(std::move(key)), tcti_(std::move(tcti)), presence_(presence) {
        if (request != nullptr) {
            reason_ = std::string(request->reason);
            cancelOnHangUp_ = request->cancelOnHangUp;
            confirmed_ = request->confirmed;
        }
    }

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        try {
            // A blob for a key the TPM no longer loads could never be opened.
            tpm::checkLoads(tcti_, key_);
            return ecies::encrypt(tpm::publicPoint(key_), plaintext);
        } catch (const TpmFailure& failure) {
            throw KeyStoreError(Step::encrypt, failure.text());
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::encrypt, failure.description());
        }
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        if (presence_ == nullptr)
            throw KeyStoreError(Step::decrypt, "the key was not loaded for use");
        // Garbage, and a key the TPM cannot use, are refused before anybody is asked.
        refuseMalformedBlob(blob);
        try {
            tpm::checkLoads(tcti_, key_);
        } catch (const TpmFailure& failure) {
            throw KeyStoreError(Step::decrypt, failure.text(), Cause::keyUnusable);
        }
        if (!confirmed_) confirm();
        SecretBytes z;
        try {
            z = tpm::sharedSecret(tcti_, key_, {}, blob.first(1 + 2 * 32));
        } catch (const TpmFailure& failure) {
            throw KeyStoreError(Step::decrypt, failure.text());
        }
        try {
            return ecies::decryptWithSharedSecret(z.span(), blob);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::decrypt, failure.description(), Cause::notThisKey);
        }
    }

  private:
    void confirm() {
        PresenceAnswer answer;
        try {
            // findForUse asked whether a prompt can be offered, moments ago.
            PromptRequest request{reason_, cancelOnHangUp_};
            request.availabilityChecked = true;
            answer = presence_->confirm(request);
        } catch (const PresenceUnavailable& unavailable) {
            throw KeyStoreError(Step::decrypt, unavailable.reason());
        }
        if (answer.passed) return;
        throw KeyStoreError(Step::decrypt, answer.failure.empty()
                                               ? "user presence was not confirmed"
                                               : answer.failure);
    }

    tpm::KeyItem key_;
    std::string tcti_;
    Presence* presence_;
    std::string reason_;
    int cancelOnHangUp_ = -1;
    bool confirmed_ = false;
};

// storedItem returns this store's key item: the one under its own tag, else a TPM key item under
// the tag of earlier versions; nothing when neither holds one. Raises ItemStoreError.
std::optional<SecretBytes> storedItem(ItemStore& items) {
    if (std::optional<SecretBytes> item = items.findKeyItem(TpmKeyStore::kTag)) return item;
    std::optional<SecretBytes> earlier = items.findKeyItem(values::keyTag);
    if (earlier && tpm::isKeyItem(earlier->span())) return earlier;
    return std::nullopt;
}

}  // namespace

TpmKeyStore::TpmKeyStore(ItemStore& items, Presence& presence, std::string tcti)
    : items_(items), presence_(presence), tcti_(std::move(tcti)) {}

std::unique_ptr<PresenceKey> TpmKeyStore::find() {
    try {
        std::optional<SecretBytes> item = storedItem(items_);
        // Without an item, tpm2-tss is not even loaded.
        if (!item) return nullptr;
        const tpm::TssLibrary* tss = tpm::tssLibrary();
        if (tss == nullptr) return nullptr;
        std::optional<tpm::KeyItem> key = tpm::decodeKeyItem(*tss, item->span());
        if (!key) return nullptr;
        return std::make_unique<TpmPresenceKey>(std::move(*key), tcti_, nullptr, nullptr);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<PresenceKey> TpmKeyStore::findForUse(const PromptRequest& request) {
    if (!request.confirmed) {
        if (std::optional<std::string> reason = presence_.unavailableReason()) {
            throw PresenceUnavailable(std::move(*reason));
        }
    }
    std::optional<SecretBytes> item;
    try {
        item = storedItem(items_);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::load, failure.detail());
    }
    if (!item) return nullptr;
    const tpm::TssLibrary* tss = tpm::tssLibrary();
    if (tss == nullptr) {
        throw KeyStoreError(Step::load, "the TPM software stack (libtss2-esys) cannot be loaded");
    }
    std::optional<tpm::KeyItem> key = tpm::decodeKeyItem(*tss, item->span());
    if (!key) throw KeyStoreError(Step::load, "the stored TPM key is damaged");
    return std::make_unique<TpmPresenceKey>(std::move(*key), tcti_, &presence_, &request);
}

std::unique_ptr<PresenceKey> TpmKeyStore::create() {
    tpm::KeyItem key;
    Bytes item;
    try {
        key = tpm::makeKey(tcti_, {});
        item = tpm::encodeKeyItem(*tpm::tssLibrary(), key);
        if (!tpm::decodeKeyItem(*tpm::tssLibrary(), item)) {
            throw TpmFailure("the TPM made an unusable key");
        }
    } catch (const TpmFailure& failure) {
        throw KeyStoreError(Step::create, failure.text());
    }
    try {
        if (!items_.addKeyItem(kTag, item)) {
            throw KeyStoreError(Step::create, "a presence key exists already");
        }
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::create, failure.detail());
    }
    return std::make_unique<TpmPresenceKey>(std::move(key), tcti_, nullptr, nullptr);
}

void TpmKeyStore::remove() {
    try {
        items_.deleteKeyItem(kTag);
        items_.deleteKeyItem(values::keyTag);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::remove, failure.detail());
    }
}

bool TpmKeyStore::canCreate() {
    if (unavailableReason(tcti_)) return false;
    try {
        std::optional<SecretBytes> item = storedItem(items_);
        if (!item) return true;
        std::optional<tpm::KeyItem> key = tpm::decodeKeyItem(*tpm::tssLibrary(), item->span());
        if (!key) return false;
        tpm::checkLoads(tcti_, *key);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> TpmKeyStore::unavailableReason(const std::string& tcti) {
    try {
        tpm::TpmContext context(tcti);
        tpm::TransientHandle root(context);
        tpm::createStorageRoot(context, root);
        return std::nullopt;
    } catch (const TpmFailure& failure) {
        return failure.text();
    } catch (const std::exception&) {
        return std::string("the TPM cannot be used (out of memory)");
    }
}

}  // namespace quorvane::platform
