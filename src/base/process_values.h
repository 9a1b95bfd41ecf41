#pragma once

#include <cstdint>
#include <string_view>

// The helper's constants, fixed at build time. The mutable process-wide state (the session table
// and the shutdown flag) belongs to the request server that owns it.
namespace quorvane::values {

// Application tag of the presence key.
inline constexpr std::string_view keyTag = "com.quorvane.secureenclave.vault";
// The key-store algorithm used to wrap the vault key to the presence key.
inline constexpr std::string_view algorithm =
    "kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM";
// Count used for a legacy salt descriptor when the request gives none.
inline constexpr std::int64_t wrapLegacyIterations = 600000;
// Count written into every new salt descriptor.
inline constexpr std::int64_t wrapV2Iterations = 1200000;
inline constexpr std::string_view wrapV2Prefix = "pbkdf2:v2";
// Label hashed in front of the vault key to make the state key.
inline constexpr std::string_view stateKeyLabel = "quorvane-state-v1";
// Reason text shown by every presence prompt.
inline constexpr std::string_view promptText = "Unlock Quorvane vault";

}  // namespace quorvane::values
