#pragma once

#include <cstdint>
#include <string_view>

namespace quorvane {

// Utf8Check validates UTF-8 that may arrive in pieces, a sequence cut between two of them: only
// well-formed sequences pass (no overlong forms, no surrogates, nothing above U+10FFFF). It keeps
// no text, only how much of the current sequence is still due. Not thread-safe.
class Utf8Check {
  public:
    // next checks one more byte: false when the bytes so far cannot begin well-formed UTF-8.
    // After a false answer the state is unspecified until reset().
    bool next(unsigned char byte) noexcept {
        if (need_ == 0 && byte < 0x80) return true;
        return nextSlow(byte);
    }
    // feed checks the next bytes, as next() does for each.
    bool feed(std::string_view bytes) noexcept;
    // complete is true when no sequence is left open.
    bool complete() const noexcept { return need_ == 0; }
    void reset() noexcept { *this = Utf8Check(); }

  private:
    bool nextSlow(unsigned char byte) noexcept;

    std::uint8_t need_ = 0;  // continuation bytes still due
    // The range the next continuation byte must lie in (narrower after E0, ED, F0 and F4).
    std::uint8_t low_ = 0x80;
    std::uint8_t high_ = 0xbf;
};

// isValidUtf8 is true when `text` is well-formed UTF-8 from start to end. Pure; thread-safe.
bool isValidUtf8(std::string_view text) noexcept;

}  // namespace quorvane
