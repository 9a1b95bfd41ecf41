#include "platform/linux/item_identity.h"

#include "platform/linux/stored_key.h"

namespace quorvane::platform {
namespace {

// readOptionalText tells "absent" (ok, nothing) from "present but not a text" (failure).
bool readOptionalText(const AttributeSet& attributes, std::string_view name,
                      std::optional<std::string>* out) {
    const AttributeValue* value = attributes.find(name);
    if (value == nullptr) return true;
    const auto* text = std::get_if<std::string>(value);
    if (text == nullptr) return false;
    *out = *text;
    return true;
}

}  // namespace

std::optional<ItemIdentity> identityOf(const AttributeSet& attributes) {
    const Constant* itemClass = attributes.get<Constant>(attr::kSecClass);
    if (itemClass == nullptr) return std::nullopt;

    if (*itemClass == value::kSecClassGenericPassword) {
        const auto* service = attributes.get<std::string>(attr::kSecAttrService);
        const auto* account = attributes.get<std::string>(attr::kSecAttrAccount);
        if (service == nullptr || account == nullptr) return std::nullopt;
        GenericPasswordIdentity identity{*service, *account, std::nullopt};
        if (!readOptionalText(attributes, attr::kSecAttrAccessGroup, &identity.accessGroup)) {
            return std::nullopt;
        }
        return identity;
    }

    if (*itemClass == value::kSecClassKey) {
        const auto* keyType = attributes.get<Constant>(attr::kSecAttrKeyType);
        const auto* tag = attributes.get<Bytes>(attr::kSecAttrApplicationTag);
        if (keyType == nullptr || tag == nullptr) return std::nullopt;
        return KeyIdentity{std::string(keyType->name), *tag};
    }

    return std::nullopt;
}

std::optional<ItemContents> contentsOf(const AttributeSet& attributes) {
    ItemContents contents;
    if (const AttributeValue* value = attributes.find(attr::kSecValueData)) {
        if (const auto* secret = std::get_if<std::shared_ptr<const SecretBytes>>(value)) {
            if (*secret == nullptr) return std::nullopt;
            contents.value = SecretBytes::copyOf((*secret)->span());
        } else if (const auto* bytes = std::get_if<Bytes>(value)) {
            contents.value = SecretBytes::copyOf(*bytes);
        } else {
            return std::nullopt;
        }
    }
    if (const AttributeValue* value = attributes.find(attr::kSecAttrAccessible)) {
        const auto* constant = std::get_if<Constant>(value);
        if (constant == nullptr) return std::nullopt;
        contents.accessible = std::string(constant->name);
    }
    if (const AttributeValue* value = attributes.find(kStoredAccessControlFlags)) {
        const auto* flags = std::get_if<std::int64_t>(value);
        if (flags == nullptr) return std::nullopt;
        contents.accessControlFlags = *flags;
    }
    return contents;
}

bool namesIdentity(const AttributeSet& attributes) {
    for (std::string_view name :
         {attr::kSecClass, attr::kSecAttrService, attr::kSecAttrAccount, attr::kSecAttrAccessGroup,
          attr::kSecAttrKeyType, attr::kSecAttrApplicationTag}) {
        if (attributes.contains(name)) return true;
    }
    return false;
}

}  // namespace quorvane::platform
