#pragma once

#include "macos/security_framework.h"
#include "platform/key_store.h"

namespace quorvane::platform {

// MacKeyStore keeps the presence key pair in the Secure Enclave: one P-256 key found by class
// (key), key type (random EC) and the application tag values::keyTag, made permanent with an
// access control of "private key usage" and "current biometry set" (accessible when unlocked,
// this device only). A key found by findForUse is bound to a fresh authentication context that
// carries the prompt's reason, so the framework asks the person inside the decryption. The wrap
// algorithm is kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM; failures carry
// the framework's status in signed decimal or its error's description ("" when it gave none).
class MacKeyStore final : public KeyStore {
  public:
    explicit MacKeyStore(SecurityFramework& framework) : framework_(framework) {}

    std::unique_ptr<PresenceKey> find() override;
    std::unique_ptr<PresenceKey> findForUse(const PromptRequest& request) override;
    std::unique_ptr<PresenceKey> create() override;
    void remove() override;
    // canCreate makes a non-permanent probe key that is stored nowhere.
    bool canCreate() override;

  private:
    SecurityFramework& framework_;
};

}  // namespace quorvane::platform
