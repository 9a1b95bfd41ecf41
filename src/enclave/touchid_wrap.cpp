#include "enclave/touchid_wrap.h"

#include "base/errors.h"
#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"
#include "enclave/key_store.h"

namespace quorvane {
namespace {

// secretHex writes lowercase hex into secret storage: the text is the vault key itself.
SecretBytes secretHex(std::span<const std::uint8_t> bytes) {
    SecretBytes text(bytes.size() * 2);
    dataHexInto(bytes, reinterpret_cast<char*>(text.data()));
    return text;
}

}  // namespace

std::string wrapKey(platform::KeyStore& keys, std::string_view keyHex) {
    std::optional<SecretBytes> key = hexData(keyHex);
    if (!key) throw HelperError("invalid key hex");

    std::unique_ptr<platform::PresenceKey> privateKey = loadOrCreatePrivateKey(keys);
    try {
        return base64Encode(privateKey->encrypt(key->span()));
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(keyStoreFailureText(failure));
    }
}

SecretBytes unwrapKey(platform::KeyStore& keys, std::string_view blob, int cancelOnHangUp) {
    std::optional<SecretBytes> wrapped = base64DecodeSecret(blob);
    if (!wrapped) throw HelperError("invalid wrapped blob");

    std::unique_ptr<platform::PresenceKey> privateKey =
        loadPrivateKeyForUse(keys, {values::promptText, cancelOnHangUp});
    try {
        // The person is asked here, inside the key's decryption.
        SecretBytes key = privateKey->decrypt(wrapped->span());
        return secretHex(key.span());
    } catch (const platform::KeyStoreError& failure) {
        throw HelperError(keyStoreFailureText(failure));
    }
}

std::string wrapTouchIdForSession(platform::KeyStore& keys, const SecretBytes& vaultKey) {
    SecretBytes keyHex = secretHex(vaultKey.span());
    return wrapKey(keys, keyHex.view());
}

std::string unwrapTouchIdToSession(platform::KeyStore& keys, SessionTable& sessions,
                                   std::string_view blob, int cancelOnHangUp) {
    SecretBytes keyHex = unwrapKey(keys, blob, cancelOnHangUp);
    std::optional<SecretBytes> key = hexData(keyHex.view());
    if (!key || key->size() != kKeySize) {
        throw HelperError("invalid vault key from secure enclave unwrap");
    }
    return sessions.createSession(std::move(*key), SessionMode::full);
}

void resetTouchIdKey(platform::KeyStore& keys) { deletePrivateKey(keys); }

}  // namespace quorvane
