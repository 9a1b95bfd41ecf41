#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crypto/secret_bytes.h"
#include "macos/os_status.h"

namespace quorvane::platform {

// A named constant of the platform's security framework (an attribute name's value such as the
// generic-password class). Kept apart from plain text so a caller's service name can never be
// mistaken for a constant, and so a macOS backend can map each name to its framework symbol.
struct Constant {
    std::string_view name;
    friend bool operator==(const Constant&, const Constant&) = default;
};

class AccessControl;
class AuthContext;
class Key;
struct AttributeSet;

// One attribute value: a framework constant, a text, non-secret data, secret data (a stored
// secret), a boolean, an integer, a nested set, an access-control object or an authentication
// context.
using AttributeValue =
    std::variant<Constant, std::string, Bytes, std::shared_ptr<const SecretBytes>, bool,
                 std::int64_t, std::shared_ptr<const AttributeSet>, std::shared_ptr<AccessControl>,
                 std::shared_ptr<AuthContext>>;

// An attribute set keyed by the security framework's attribute names (attr:: below). Copyable;
// secret data inside is shared, not duplicated, and wiped when its last holder goes.
struct AttributeSet {
    std::map<std::string, AttributeValue, std::less<>> entries;

    void set(std::string_view name, AttributeValue value) {
        entries.insert_or_assign(std::string(name), std::move(value));
    }
    bool contains(std::string_view name) const { return entries.find(name) != entries.end(); }
    const AttributeValue* find(std::string_view name) const {
        auto it = entries.find(name);
        return it == entries.end() ? nullptr : &it->second;
    }
    // Typed lookups: nothing when the attribute is absent or of another type.
    template <class T>
    const T* get(std::string_view name) const {
        const AttributeValue* value = find(name);
        return value == nullptr ? nullptr : std::get_if<T>(value);
    }
    std::size_t size() const { return entries.size(); }
};

// Attribute names, spelled as the security framework spells its symbols.
namespace attr {
inline constexpr std::string_view kSecClass = "kSecClass";
inline constexpr std::string_view kSecAttrService = "kSecAttrService";
inline constexpr std::string_view kSecAttrAccount = "kSecAttrAccount";
inline constexpr std::string_view kSecValueData = "kSecValueData";
inline constexpr std::string_view kSecAttrAccessible = "kSecAttrAccessible";
inline constexpr std::string_view kSecAttrAccessGroup = "kSecAttrAccessGroup";
inline constexpr std::string_view kSecMatchLimit = "kSecMatchLimit";
inline constexpr std::string_view kSecReturnData = "kSecReturnData";
inline constexpr std::string_view kSecReturnRef = "kSecReturnRef";
inline constexpr std::string_view kSecUseAuthenticationUI = "kSecUseAuthenticationUI";
inline constexpr std::string_view kSecUseAuthenticationContext = "kSecUseAuthenticationContext";
inline constexpr std::string_view kSecAttrKeyType = "kSecAttrKeyType";
inline constexpr std::string_view kSecAttrKeySizeInBits = "kSecAttrKeySizeInBits";
inline constexpr std::string_view kSecAttrTokenID = "kSecAttrTokenID";
inline constexpr std::string_view kSecPrivateKeyAttrs = "kSecPrivateKeyAttrs";
inline constexpr std::string_view kSecAttrIsPermanent = "kSecAttrIsPermanent";
inline constexpr std::string_view kSecAttrApplicationTag = "kSecAttrApplicationTag";
inline constexpr std::string_view kSecAttrAccessControl = "kSecAttrAccessControl";
}  // namespace attr

// Constant values of the framework.
namespace value {
inline constexpr Constant kSecClassGenericPassword{"kSecClassGenericPassword"};
inline constexpr Constant kSecClassKey{"kSecClassKey"};
inline constexpr Constant kSecAttrAccessibleAfterFirstUnlock{"kSecAttrAccessibleAfterFirstUnlock"};
inline constexpr Constant kSecAttrAccessibleWhenUnlockedThisDeviceOnly{
    "kSecAttrAccessibleWhenUnlockedThisDeviceOnly"};
inline constexpr Constant kSecMatchLimitOne{"kSecMatchLimitOne"};
inline constexpr Constant kSecUseAuthenticationUIFail{"kSecUseAuthenticationUIFail"};
inline constexpr Constant kSecAttrKeyTypeECSECPrimeRandom{"kSecAttrKeyTypeECSECPrimeRandom"};
inline constexpr Constant kSecAttrTokenIDSecureEnclave{"kSecAttrTokenIDSecureEnclave"};
inline constexpr Constant kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM{
    "kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM"};
}  // namespace value

// Access-control flags (raw values as the framework defines them).
inline constexpr std::uint64_t kSecAccessControlBiometryCurrentSet = 0x8;
inline constexpr std::uint64_t kSecAccessControlPrivateKeyUsage = 0x40000000;

// Presence policy: device-owner authentication with biometrics.
inline constexpr int kPolicyDeviceOwnerAuthenticationWithBiometrics = 1;

enum class KeyOperation { encrypt = 2, decrypt = 3 };

}  // namespace quorvane::platform
