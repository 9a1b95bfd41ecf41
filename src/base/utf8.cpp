#include "base/utf8.h"

#include <cstdint>
#include <cstring>

namespace quorvane {

bool Utf8Check::nextSlow(unsigned char byte) noexcept {
    if (need_ > 0) {
        if (byte < low_ || byte > high_) return false;
        --need_;
        low_ = 0x80;
        high_ = 0xbf;
        return true;
    }
    // Lead bytes, with the ranges of the Unicode Standard's table of well-formed sequences: C0
    // and C1 only begin overlong forms, E0 80-9F too, ED A0-BF are surrogates, F0 80-8F overlong,
    // F4 90 and up beyond U+10FFFF.
    if (byte < 0xc2 || byte > 0xf4) return false;
    if (byte < 0xe0) {
        need_ = 1;
    } else if (byte < 0xf0) {
        need_ = 2;
        low_ = byte == 0xe0 ? 0xa0 : 0x80;
        high_ = byte == 0xed ? 0x9f : 0xbf;
    } else {
        need_ = 3;
        low_ = byte == 0xf0 ? 0x90 : 0x80;
        high_ = byte == 0xf4 ? 0x8f : 0xbf;
    }
    return true;
}

bool Utf8Check::feed(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Text is mostly ASCII: eight bytes at a time while no sequence is open.
        if (need_ == 0 && i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080) == 0) {
                i += 8;
                continue;
            }
        }
        if (!next(static_cast<unsigned char>(bytes[i++]))) return false;
    }
    return true;
}

bool isValidUtf8(std::string_view text) noexcept {
    Utf8Check check;
    return check.feed(text) && check.complete();
}

}  // namespace quorvane
