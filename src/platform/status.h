#pragma once

#include <cstdint>

namespace quorvane::platform {

// Statuses are signed 32-bit integers as the platform's keychain returns them: 0 for success,
// the framework's negative numbers for its failures. The Linux file store answers with the same
// meanings for these three and numbers of its own for its other failures (linux/statuses.h).
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDuplicateItem = -25299;

}  // namespace quorvane::platform
