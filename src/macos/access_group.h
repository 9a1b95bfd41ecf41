#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "macos/security_framework.h"

namespace quorvane {

// The entitlement whose value names the keychain access groups the helper may use.
inline constexpr std::string_view kKeychainAccessGroupsEntitlement = "keychain-access-groups";

// isBlank is true when `text` holds nothing but Unicode white space and line ends (empty text
// included). Bytes that are not valid UTF-8 count as content, never as white space.
bool isBlank(std::string_view text);

// helperKeychainAccessGroup returns the helper's keychain access group, looked up afresh from
// the platform's entitlement value on every call: the first entry of a list that is not blank,
// or a single text that is not blank, taken unchanged (not trimmed). Nothing for an absent
// value, an empty or all-blank list, a blank text, or a value of another type. Never fails.
std::optional<std::string> helperKeychainAccessGroup(platform::SecurityFramework& framework);

// addHelperKeychainAccessGroup sets kSecAttrAccessGroup in `attributes` to the helper's group
// when there is one, and leaves `attributes` unchanged otherwise. Never fails.
void addHelperKeychainAccessGroup(platform::SecurityFramework& framework,
                                  platform::AttributeSet& attributes);

}  // namespace quorvane
