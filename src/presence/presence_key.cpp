#include "presence/presence_key.h"

#include "base/errors.h"
#include "presence/prompt.h"

namespace quorvane {
namespace {

using Step = platform::KeyStoreError::Step;

std::string orUnknown(const std::string& detail) { return detail.empty() ? "unknown" : detail; }

}  // namespace

std::string presenceKeyFailureText(const platform::KeyStoreError& failure) {
    switch (failure.step()) {
        case Step::accessControl:
            return "unable to create access control";
        case Step::create:
            return "secure enclave key create failed: " + orUnknown(failure.detail());
        case Step::load:
            return "secure enclave key load failed: " + failure.detail();
        case Step::remove:
            return "secure enclave key delete failed: " + failure.detail();
        case Step::publicKey:
            return "secure enclave public key unavailable";
        case Step::encryptUnsupported:
            return "secure enclave algorithm unsupported";
        case Step::encrypt:
            return "secure enclave wrap failed: " + orUnknown(failure.detail());
        case Step::decryptUnsupported:
            return "secure enclave decrypt algorithm unsupported";
        case Step::decrypt:
            break;
    }
    return "secure enclave unwrap failed: " + orUnknown(failure.detail());
}

std::unique_ptr<platform::PresenceKey> findOrCreatePresenceKey(platform::KeyStore& keys) {
    if (auto existing = keys.find()) return existing;
    try {
        return keys.create();
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(presenceKeyFailureText(failure));
    }
}

std::unique_ptr<platform::PresenceKey> findPresenceKeyForUse(
    platform::KeyStore& keys, const platform::PromptRequest& request) {
    std::unique_ptr<platform::PresenceKey> key;
    try {
        key = keys.findForUse(request);
    } catch (const platform::PresenceUnavailable& unavailable) {
        throw unavailableError(unavailable);
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(presenceKeyFailureText(failure));
    }
    if (!key) throw HelperError("secure enclave key missing");
    return key;
}

void deletePresenceKey(platform::KeyStore& keys) {
    try {
        keys.remove();
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(presenceKeyFailureText(failure));
    }
}

}  // namespace quorvane
