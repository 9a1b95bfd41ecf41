#include "enclave/touchid_wrap.h"

#include "crypto/base64.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"
#include "enclave/key_store.h"
#include "front/errors.h"
#include "front/process_values.h"

namespace quorvane {
namespace {

constexpr platform::Constant kAlgorithm{values::algorithm};

std::string platformText(const std::optional<PlatformError>& error) {
    return error ? error->description() : std::string("unknown");
}

// secretHex writes lowercase hex into secret storage: the text is the vault key itself.
SecretBytes secretHex(std::span<const std::uint8_t> bytes) {
    SecretBytes text(bytes.size() * 2);
    dataHexInto(bytes, reinterpret_cast<char*>(text.data()));
    return text;
}

}  // namespace

std::string wrapKey(platform::Platform& platform, std::string_view keyHex) {
    std::optional<SecretBytes> key = hexData(keyHex);
    if (!key) throw HelperError("invalid key hex");

    std::shared_ptr<platform::Key> privateKey = loadOrCreatePrivateKey(platform);
    std::shared_ptr<platform::Key> publicKey = platform.keyCopyPublicKey(*privateKey);
    if (!publicKey) throw HelperError("secure enclave public key unavailable");
    if (!platform.keyIsAlgorithmSupported(*publicKey, platform::KeyOperation::encrypt,
                                          kAlgorithm)) {
        throw HelperError("secure enclave algorithm unsupported");
    }
    std::optional<PlatformError> error;
    std::optional<Bytes> wrapped =
        platform.keyCreateEncryptedData(*publicKey, kAlgorithm, key->span(), &error);
    if (!wrapped) throw HelperError("secure enclave wrap failed: " + platformText(error));
    return base64Encode(*wrapped);
}

SecretBytes unwrapKey(platform::Platform& platform, std::string_view blob) {
    std::optional<SecretBytes> wrapped = base64DecodeSecret(blob);
    if (!wrapped) throw HelperError("invalid wrapped blob");

    std::shared_ptr<platform::Key> privateKey = loadPrivateKeyForUse(platform, values::promptText);
    if (!platform.keyIsAlgorithmSupported(*privateKey, platform::KeyOperation::decrypt,
                                          kAlgorithm)) {
        throw HelperError("secure enclave decrypt algorithm unsupported");
    }
    // The person is asked here, inside the key store's decryption.
    std::optional<PlatformError> error;
    std::optional<SecretBytes> key =
        platform.keyCreateDecryptedData(*privateKey, kAlgorithm, wrapped->span(), &error);
    if (!key) throw HelperError("secure enclave unwrap failed: " + platformText(error));
    return secretHex(key->span());
}

std::string wrapTouchIdForSession(const std::function<platform::Platform&()>& platform,
                                  const SessionTable& sessions, std::string_view sessionId) {
    const SecretBytes& key = sessions.requireFullSession(sessionId);
    SecretBytes keyHex = secretHex(key.span());
    return wrapKey(platform(), keyHex.view());
}

std::string unwrapTouchIdToSession(platform::Platform& platform, SessionTable& sessions,
                                   std::string_view blob) {
    SecretBytes keyHex = unwrapKey(platform, blob);
    std::optional<SecretBytes> key = hexData(keyHex.view());
    if (!key || key->size() != kKeySize) {
        throw HelperError("invalid vault key from secure enclave unwrap");
    }
    return sessions.createSession(std::move(*key), SessionMode::full);
}

void resetTouchIdKey(platform::Platform& platform) { deletePrivateKey(platform); }

}  // namespace quorvane
