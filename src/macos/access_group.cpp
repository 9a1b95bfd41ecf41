#include "macos/access_group.h"

#include <cstdint>

#include "base/utf8.h"

namespace quorvane {
namespace {

// Unicode White_Space characters, line ends included (the Zs, Zl and Zp categories, the C0
// controls TAB to CR and NEXT LINE).
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// decodeOne reads the code point of well-formed UTF-8 starting at text[i] and advances i past it.
char32_t decodeOne(std::string_view text, std::size_t& i) {
    auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        c = (c << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
    }
    i += length;
    return c;
}

}  // namespace

bool isBlank(std::string_view text) {
    // Malformed bytes are content; checking the whole text first also keeps an overlong
    // encoding of a space from passing for one.
    if (!isValidUtf8(text)) return false;
    for (std::size_t i = 0; i < text.size();) {
        if (!isWhiteSpace(decodeOne(text, i))) return false;
    }
    return true;
}

std::optional<std::string> helperKeychainAccessGroup(platform::SecurityFramework& framework) {
    platform::EntitlementValue value =
        framework.copyEntitlementValue(kKeychainAccessGroupsEntitlement);
    if (const auto* list = std::get_if<std::vector<std::string>>(&value)) {
        for (const std::string& entry : *list) {
            if (!isBlank(entry)) return entry;
        }
        return std::nullopt;  // a list that names no group never falls back to anything else
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        if (!isBlank(*text)) return *text;
    }
    return std::nullopt;
}

void addHelperKeychainAccessGroup(platform::SecurityFramework& framework,
                                  platform::AttributeSet& attributes) {
    if (std::optional<std::string> group = helperKeychainAccessGroup(framework)) {
        attributes.set(platform::attr::kSecAttrAccessGroup, std::move(*group));
    }
}

}  // namespace quorvane
