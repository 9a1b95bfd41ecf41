#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "macos/security_framework.h"

namespace quorvane::platform {

// FakeSecurityFramework is the in-memory framework for tests. It records every call with its
// attribute sets, keeps items in memory (so a store/load round trip works without scripting), and
// answers scripted statuses, key-store failures, presence answers and entitlement values where a
// test sets them. Not thread-safe except for the prompt reply, which it delivers from a new thread.
class FakeSecurityFramework : public SecurityFramework {
  public:
    struct Call {
        std::string operation;    // "itemAdd", "itemUpdate", "itemCopyMatching", "itemDelete",
                                  // "accessControlCreateWithFlags", "keyCreateRandomKey",
                                  // "keyCopyPublicKey", "keyIsAlgorithmSupported",
                                  // "keyCreateEncryptedData", "keyCreateDecryptedData",
                                  // "copyEntitlementValue", "createAuthContext",
                                  // "canEvaluatePolicy", "evaluatePolicy", "setLocalizedReason",
                                  // "setInteractionNotAllowed"
        AttributeSet attributes;  // the query / attribute set, when the call takes one
        AttributeSet changes;     // itemUpdate's attributes to change
        std::string text;         // reason text, entitlement name
    };

    // --- Scripting. ---
    // The next call of `operation` returns `status` without doing anything else.
    void scriptStatus(const std::string& operation, OSStatus status);
    EntitlementValue entitlement;                   // what copyEntitlementValue answers
    bool canEvaluate = true;                        // canEvaluatePolicy's answer
    std::optional<PlatformError> canEvaluateError;  // error given with a "no"
    bool promptPasses = true;                       // the person's answer to every prompt
    bool accessControlFails = false;                // accessControlCreateWithFlags gives nothing
    bool keyCreateFails = false;                    // keyCreateRandomKey gives nothing
    std::optional<PlatformError> keyCreateError;    // ... with this error, if set
    bool publicKeyMissing = false;                  // keyCopyPublicKey gives nothing
    bool encryptSupported = true;                   // keyIsAlgorithmSupported for encrypt
    bool decryptSupported = true;                   // keyIsAlgorithmSupported for decrypt
    bool encryptFails = false;                      // keyCreateEncryptedData gives nothing
    std::optional<PlatformError> encryptError;
    std::optional<PlatformError> decryptError;  // error when decryption fails

    // --- Inspection. ---
    std::vector<Call> calls;
    std::vector<AttributeSet> items;  // stored items, in creation order
    std::vector<std::string> operations() const;
    int promptCount = 0;  // prompts shown (evaluatePolicy and key decryption)
    std::string lastPromptReason;

    // --- Platform. ---
    OSStatus itemAdd(const AttributeSet& attributes) override;
    OSStatus itemUpdate(const AttributeSet& query, const AttributeSet& changes) override;
    OSStatus itemCopyMatching(const AttributeSet& query, ItemResult* result) override;
    OSStatus itemDelete(const AttributeSet& query) override;
    std::shared_ptr<AccessControl> accessControlCreateWithFlags(Constant protection,
                                                                std::uint64_t flags) override;
    std::shared_ptr<Key> keyCreateRandomKey(const AttributeSet& attributes,
                                            std::optional<PlatformError>* error) override;
    std::shared_ptr<Key> keyCopyPublicKey(const Key& key) override;
    bool keyIsAlgorithmSupported(const Key& key, KeyOperation operation,
                                 Constant algorithm) override;
    std::optional<Bytes> keyCreateEncryptedData(const Key& key, Constant algorithm,
                                                std::span<const std::uint8_t> plaintext,
                                                std::optional<PlatformError>* error) override;
    std::optional<SecretBytes> keyCreateDecryptedData(const Key& key, Constant algorithm,
                                                      std::span<const std::uint8_t> ciphertext,
                                                      std::optional<PlatformError>* error) override;
    EntitlementValue copyEntitlementValue(std::string_view name) override;
    std::shared_ptr<AuthContext> createAuthContext() override;

    // Records a call made through a context this platform created.
    void record(Call call) { calls.push_back(std::move(call)); }

  private:
    std::optional<OSStatus> takeScripted(const std::string& operation);
    int nextKeyId_ = 1;
    std::map<std::string, std::deque<OSStatus>> scripted_;
};

}  // namespace quorvane::platform
