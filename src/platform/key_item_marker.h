#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

// Which kind of presence key an item of the item store holds, told by its first bytes. Both the
// TPM key store and the keyring key store read the one key tag earlier versions wrote, so each
// must recognise the other's items without knowing their format.
namespace quorvane::platform::tpm {

// A TPM key item starts with this marker (tpm/tpm_key_item.h has the rest of its format). A
// keyring key item is exactly 32 bytes, the raw private scalar, so no longer item of that kind
// starts with it.
inline constexpr std::string_view kItemMarker = "QVTPMEC1";

// isKeyItem answers whether `item` is a TPM key item (by its marker; the rest is not checked).
inline bool isKeyItem(std::span<const std::uint8_t> item) {
    return item.size() > kItemMarker.size() &&
           std::equal(kItemMarker.begin(), kItemMarker.end(), item.begin());
}

}  // namespace quorvane::platform::tpm
