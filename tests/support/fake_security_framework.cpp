#include "support/fake_security_framework.h"

#include <algorithm>
#include <thread>

namespace quorvane::platform {
namespace {

// The attributes that name an item; the others are its contents.
constexpr std::string_view kIdentity[] = {attr::kSecClass,       attr::kSecAttrService,
                                          attr::kSecAttrAccount, attr::kSecAttrAccessGroup,
                                          attr::kSecAttrKeyType, attr::kSecAttrApplicationTag};

bool matches(const AttributeSet& item, const AttributeSet& query) {
    for (std::string_view name : kIdentity) {
        const AttributeValue* wanted = query.find(name);
        if (wanted == nullptr) continue;
        const AttributeValue* have = item.find(name);
        if (have == nullptr || !(*have == *wanted)) return false;
    }
    return true;
}

// A fake key: an id, a private/public flag, the access control and context it was made or
// loaded with. "Encryption" prefixes the key id so a blob opens only under the same key pair.
class FakeKey : public Key {
  public:
    FakeKey(int id, bool isPrivate, std::shared_ptr<AuthContext> context)
        : id(id), isPrivate(isPrivate), context(std::move(context)) {}
    int id;
    bool isPrivate;
    std::shared_ptr<AuthContext> context;
};

class FakeContext : public AuthContext {
  public:
    explicit FakeContext(FakeSecurityFramework& platform) : platform_(platform) {}
    bool canEvaluatePolicy(int, std::optional<PlatformError>* error) override {
        platform_.record({"canEvaluatePolicy", {}, {}, {}});
        if (!platform_.canEvaluate && platform_.canEvaluateError)
            *error = platform_.canEvaluateError;
        return platform_.canEvaluate;
    }
    void evaluatePolicy(int, std::string reason, Reply reply) override {
        platform_.record({"evaluatePolicy", {}, {}, reason});
        platform_.promptCount++;
        platform_.lastPromptReason = reason;
        bool passes = platform_.promptPasses;
        std::thread([reply = std::move(reply), passes] {
            reply(passes,
                  passes ? std::nullopt : std::optional<PlatformError>(PlatformError("cancelled")));
        }).detach();
    }
    void setLocalizedReason(std::string reason) override {
        platform_.record({"setLocalizedReason", {}, {}, reason});
        reason_ = std::move(reason);
    }
    void setInteractionNotAllowed(bool notAllowed) override {
        platform_.record({"setInteractionNotAllowed", {}, {}, notAllowed ? "true" : "false"});
    }
    const std::string& reason() const { return reason_; }

  private:
    FakeSecurityFramework& platform_;
    std::string reason_;
};

}  // namespace

void FakeSecurityFramework::scriptStatus(const std::string& operation, OSStatus status) {
    scripted_[operation].push_back(status);
}

std::optional<OSStatus> FakeSecurityFramework::takeScripted(const std::string& operation) {
    auto it = scripted_.find(operation);
    if (it == scripted_.end() || it->second.empty()) return std::nullopt;
    OSStatus status = it->second.front();
    it->second.pop_front();
    return status;
}

std::vector<std::string> FakeSecurityFramework::operations() const {
    std::vector<std::string> names;
    for (const Call& call : calls) names.push_back(call.operation);
    return names;
}

OSStatus FakeSecurityFramework::itemAdd(const AttributeSet& attributes) {
    calls.push_back({"itemAdd", attributes, {}, {}});
    if (auto status = takeScripted("itemAdd")) return *status;
    for (const AttributeSet& item : items) {
        if (matches(item, attributes)) return errSecDuplicateItem;
    }
    items.push_back(attributes);
    return errSecSuccess;
}

OSStatus FakeSecurityFramework::itemUpdate(const AttributeSet& query, const AttributeSet& changes) {
    calls.push_back({"itemUpdate", query, changes, {}});
    if (auto status = takeScripted("itemUpdate")) return *status;
    bool found = false;
    for (AttributeSet& item : items) {
        if (!matches(item, query)) continue;
        for (const auto& [name, value] : changes.entries) item.set(name, value);
        found = true;
    }
    return found ? errSecSuccess : errSecItemNotFound;
}

OSStatus FakeSecurityFramework::itemCopyMatching(const AttributeSet& query, ItemResult* result) {
    calls.push_back({"itemCopyMatching", query, {}, {}});
    if (auto status = takeScripted("itemCopyMatching")) return *status;
    for (const AttributeSet& item : items) {
        if (!matches(item, query)) continue;
        if (const bool* wantsRef = query.get<bool>(attr::kSecReturnRef); wantsRef && *wantsRef) {
            std::shared_ptr<AuthContext> context;
            if (auto* c =
                    query.get<std::shared_ptr<AuthContext>>(attr::kSecUseAuthenticationContext)) {
                context = *c;
            }
            const std::int64_t* id = item.get<std::int64_t>("fakeKeyId");
            *result = std::make_shared<FakeKey>(id ? static_cast<int>(*id) : 0, true, context);
        } else if (const bool* wantsData = query.get<bool>(attr::kSecReturnData);
                   wantsData && *wantsData) {
            if (auto* secret = item.get<std::shared_ptr<const SecretBytes>>(attr::kSecValueData)) {
                *result = SecretBytes::copyOf((*secret)->span());
            } else if (auto* bytes = item.get<Bytes>(attr::kSecValueData)) {
                *result = SecretBytes::copyOf(*bytes);
            }
        }
        return errSecSuccess;
    }
    return errSecItemNotFound;
}

OSStatus FakeSecurityFramework::itemDelete(const AttributeSet& query) {
    calls.push_back({"itemDelete", query, {}, {}});
    if (auto status = takeScripted("itemDelete")) return *status;
    auto removed =
        std::erase_if(items, [&](const AttributeSet& item) { return matches(item, query); });
    return removed > 0 ? errSecSuccess : errSecItemNotFound;
}

std::shared_ptr<AccessControl> FakeSecurityFramework::accessControlCreateWithFlags(
    Constant protection, std::uint64_t flags) {
    calls.push_back({"accessControlCreateWithFlags", {}, {}, std::string(protection.name)});
    if (accessControlFails) return nullptr;
    return std::make_shared<AccessControl>(protection, flags);
}

std::shared_ptr<Key> FakeSecurityFramework::keyCreateRandomKey(
    const AttributeSet& attributes, std::optional<PlatformError>* error) {
    calls.push_back({"keyCreateRandomKey", attributes, {}, {}});
    if (keyCreateFails) {
        if (keyCreateError) *error = keyCreateError;
        return nullptr;
    }
    int id = nextKeyId_++;
    auto privateAttrs =
        attributes.get<std::shared_ptr<const AttributeSet>>(attr::kSecPrivateKeyAttrs);
    if (privateAttrs && *privateAttrs) {
        const bool* permanent = (*privateAttrs)->get<bool>(attr::kSecAttrIsPermanent);
        if (permanent && *permanent) {
            AttributeSet item;
            item.set(attr::kSecClass, value::kSecClassKey);
            if (auto* type = attributes.get<Constant>(attr::kSecAttrKeyType)) {
                item.set(attr::kSecAttrKeyType, *type);
            }
            if (auto* tag = (*privateAttrs)->get<Bytes>(attr::kSecAttrApplicationTag)) {
                item.set(attr::kSecAttrApplicationTag, *tag);
            }
            item.set("fakeKeyId", std::int64_t{id});
            items.push_back(std::move(item));
        }
    }
    return std::make_shared<FakeKey>(id, true, nullptr);
}

std::shared_ptr<Key> FakeSecurityFramework::keyCopyPublicKey(const Key& key) {
    calls.push_back({"keyCopyPublicKey", {}, {}, {}});
    if (publicKeyMissing) return nullptr;
    return std::make_shared<FakeKey>(static_cast<const FakeKey&>(key).id, false, nullptr);
}

bool FakeSecurityFramework::keyIsAlgorithmSupported(const Key&, KeyOperation operation,
                                                    Constant algorithm) {
    calls.push_back({"keyIsAlgorithmSupported", {}, {}, std::string(algorithm.name)});
    return operation == KeyOperation::encrypt ? encryptSupported : decryptSupported;
}

std::optional<Bytes> FakeSecurityFramework::keyCreateEncryptedData(
    const Key& key, Constant, std::span<const std::uint8_t> plaintext,
    std::optional<PlatformError>* error) {
    calls.push_back({"keyCreateEncryptedData", {}, {}, {}});
    if (encryptFails) {
        if (encryptError) *error = encryptError;
        return std::nullopt;
    }
    Bytes blob{static_cast<std::uint8_t>(static_cast<const FakeKey&>(key).id)};
    blob.insert(blob.end(), plaintext.begin(), plaintext.end());
    return blob;
}

std::optional<SecretBytes> FakeSecurityFramework::keyCreateDecryptedData(
    const Key& key, Constant, std::span<const std::uint8_t> ciphertext,
    std::optional<PlatformError>* error) {
    calls.push_back({"keyCreateDecryptedData", {}, {}, {}});
    const auto& fakeKey = static_cast<const FakeKey&>(key);
    promptCount++;
    if (auto* context = dynamic_cast<FakeContext*>(fakeKey.context.get())) {
        lastPromptReason = context->reason();
    }
    if (!promptPasses || ciphertext.empty() || ciphertext[0] != fakeKey.id) {
        if (decryptError) *error = decryptError;
        return std::nullopt;
    }
    return SecretBytes::copyOf(ciphertext.subspan(1));
}

EntitlementValue FakeSecurityFramework::copyEntitlementValue(std::string_view name) {
    calls.push_back({"copyEntitlementValue", {}, {}, std::string(name)});
    return entitlement;
}

std::shared_ptr<AuthContext> FakeSecurityFramework::createAuthContext() {
    calls.push_back({"createAuthContext", {}, {}, {}});
    return std::make_shared<FakeContext>(*this);
}

}  // namespace quorvane::platform
