#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/key_item_marker.h"
#include "tpm/tss_library.h"

// The key item of a TPM-held presence key: what the item store keeps under the helper's tag.
//
//   item = "QVTPMEC1" (8 bytes) || TPM2B_PUBLIC || TPM2B_PRIVATE   (both in TPM wire format)
//
// The private part is encrypted by the TPM under its storage root key and can be loaded only
// into the TPM that made it. The marker tells this item apart from a keyring key item, which
// is exactly 32 bytes (the raw private scalar) and never starts with it as a longer item
// (platform/key_item_marker.h, which the keyring key store reads too).
namespace quorvane::platform::tpm {

struct KeyItem {
    TPM2B_PUBLIC publicPart{};
    TPM2B_PRIVATE privatePart{};
};

// encodeKeyItem writes `key` in this format. Raises TpmFailure when tpm2-tss cannot marshal it.
Bytes encodeKeyItem(const TssLibrary& tss, const KeyItem& key);

// decodeKeyItem reads an item in this format; nothing when it is not one, does not parse to its
// last byte, or does not hold an ECC P-256 decryption key with a 32-byte point.
std::optional<KeyItem> decodeKeyItem(const TssLibrary& tss, std::span<const std::uint8_t> item);

// keyItemSize returns the length of the item in this format that starts `bytes` (its marker and
// both parts), or nothing when none starts there; what follows the item is not looked at. For a
// file that keeps more after the item; decodeKeyItem still checks the item itself.
std::optional<std::size_t> keyItemSize(const TssLibrary& tss, std::span<const std::uint8_t> bytes);

// publicPoint returns the key's public point uncompressed (0x04 || X || Y, 65 bytes). `key` must
// have been checked by decodeKeyItem or made by the TPM.
Bytes publicPoint(const KeyItem& key);

}  // namespace quorvane::platform::tpm
