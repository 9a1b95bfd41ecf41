#pragma once

#include <cstdint>

namespace quorvane::platform {

// Statuses are signed 32-bit integers as the platform's keychain returns them: 0 for success,
// the framework's negative numbers for its failures. These words belong to the macOS adapter;
// the Linux stores answer in a status type of their own (linux/statuses.h).
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDuplicateItem = -25299;

}  // namespace quorvane::platform
