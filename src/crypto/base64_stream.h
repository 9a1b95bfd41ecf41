#pragma once

#include <cstddef>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// Base64Stream decodes one base64 text that arrives in pieces (a request line read as it comes),
// by the same strict rules as base64Decode, appending the bytes to a SecretBytes as whole groups
// arrive: the text is never held whole next to its bytes. Short pieces wait in a staging buffer so
// the decoder works on long runs whatever the pieces; long ones are decoded where they lie. Its
// only copies of the text (the staging buffer, a last group held back) are wiped by finish() and
// wipe(). Not thread-safe.
class Base64Stream {
  public:
    // begin starts a text whose bytes go to the end of `out`, which must stay alive until finish()
    // or wipe().
    void begin(SecretBytes& out);
    // append reads the next piece of the text. Once the text cannot be base64 the bytes decoded so
    // far are wiped and the rest is ignored. Raises std::bad_alloc when memory cannot be had.
    void append(std::string_view piece);
    // finish ends the text: true when all of it was strict base64 and `out` holds its bytes;
    // false otherwise, with nothing of it left in `out`. Raises std::bad_alloc as append does.
    bool finish();
    // wipe forgets the text without finishing it; `out` is left to its owner.
    void wipe() noexcept;

  private:
    void decodeGroups(std::string_view text);
    void refuse() noexcept;

    SecretBytes* out_ = nullptr;
    std::size_t start_ = 0;  // where this text's bytes begin in *out_
    SecretBytes staged_;
    bool valid_ = true;
};

}  // namespace quorvane
