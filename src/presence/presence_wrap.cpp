#include "presence/presence_wrap.h"

#include "base/errors.h"
#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/envelope.h"
#include "presence/presence_key.h"
#include "presence/prompt.h"

namespace quorvane {

std::string wrapVaultKey(platform::KeyStore& keys, std::span<const std::uint8_t> vaultKey) {
    std::unique_ptr<platform::PresenceKey> presenceKey = findOrCreatePresenceKey(keys);
    try {
        return base64Encode(presenceKey->encrypt(vaultKey));
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(presenceKeyFailureText(failure));
    }
}

SecretBytes unwrapVaultKey(platform::KeyStore& keys, std::string_view blob, int cancelOnHangUp) {
    std::optional<SecretBytes> wrapped = base64DecodeSecret(blob);
    if (!wrapped) throw HelperError("invalid wrapped blob");

    std::unique_ptr<platform::PresenceKey> presenceKey =
        findPresenceKeyForUse(keys, {values::promptText, cancelOnHangUp});
    try {
        // The person is asked here, inside the key's decryption.
        return presenceKey->decrypt(wrapped->span());
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(presenceKeyFailureText(failure));
    } catch (const platform::PresenceUnavailable& unavailable) {
        // A key whose prompt is asked elsewhere (the key service) learns only now.
        throw unavailableError(unavailable);
    }
}

std::string unwrapToSession(platform::KeyStore& keys, SessionTable& sessions, std::string_view blob,
                            int cancelOnHangUp) {
    SecretBytes key = unwrapVaultKey(keys, blob, cancelOnHangUp);
    if (key.size() != kKeySize) throw HelperError("invalid vault key from secure enclave unwrap");
    return sessions.createSession(std::move(key), SessionMode::full);
}

}  // namespace quorvane
