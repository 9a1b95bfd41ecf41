#pragma once

#include <cstdint>

#include "platform/item_status.h"

namespace quorvane::platform {

// Statuses are signed 32-bit integers as the platform's keychain returns them: 0 for success,
// the framework's negative numbers for its failures. These words belong to the macOS adapter;
// the item store above it answers in ItemStatus.
using OSStatus = std::int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecDuplicateItem = -25299;

// itemStatusOf is the item store's status for a framework status: the outcomes the item store
// names by their meaning, every other failure by the framework's own number, so a text shows the
// number the framework gave.
constexpr ItemStatus itemStatusOf(OSStatus status) {
    switch (status) {
        case errSecSuccess:
            return ItemStatus::success;
        case errSecItemNotFound:
            return ItemStatus::notFound;
        case errSecDuplicateItem:
            return ItemStatus::duplicate;
        default:
            return ItemStatus{status};
    }
}

}  // namespace quorvane::platform
