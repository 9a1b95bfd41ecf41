#pragma once

#include <cstdint>
#include <string>

namespace quorvane::platform {

// ItemStatus is what one operation of an item store's backend answers: success, one of the two
// outcomes its callers act on (no such item; an item of that identity exists already), or a
// failure, which they report by its number. The two outcomes carry the numbers the keychain on
// macOS gives them, so a text that names one reads the same there. A backend numbers its other
// failures itself (the file store in file_store/statuses.h); the macOS adapter maps the
// framework's statuses onto these (macos/os_status.h). A damaged item carries the number the file
// store has always given it, so that a key store kept in any item store can report one too.
enum class ItemStatus : std::int32_t {
    success = 0,
    notFound = -25300,
    duplicate = -25299,
    damaged = -40007,
};

// statusText writes `status` in signed decimal, as failure texts show it.
inline std::string statusText(ItemStatus status) {
    return std::to_string(static_cast<std::int32_t>(status));
}

}  // namespace quorvane::platform
