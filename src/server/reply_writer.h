#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// ReplyWriter builds one compact JSON reply line in a reused buffer. Replies can carry decrypted
// plaintext, so the buffer is secret storage and is wiped after each line is written. Strings are
// escaped with "/" written as "\/", control characters escaped, everything else as raw UTF-8.
class ReplyWriter {
public:
    // begin starts a successful reply: {"id":<id>,"ok":true
    void begin(std::int64_t id);
    // fail discards whatever the reply holds and makes it {"id":<id>,"ok":false,"error":<text>}.
    void fail(std::int64_t id, std::string_view error);
    // ready makes the readiness line {"ready":true}.
    void ready();

    void addString(std::string_view name, std::string_view value);
    void addInteger(std::string_view name, std::int64_t value);
    // A string member whose value the caller writes in place: reserveString returns `length`
    // bytes of room inside the quotes, for text that needs no escaping (base64, hex).
    char* addRawString(std::string_view name, std::size_t length);

    // Arrays of strings: beginArray, then arrayString / arrayRawString per element, endArray.
    void beginArray(std::string_view name);
    void arrayString(std::string_view value);
    char* arrayRawString(std::size_t length);
    void endArray();

    // finish closes the object and appends the line feed; the line is then `line()`.
    void finish();
    std::string_view line() const { return buffer_.view(); }
    // reserve makes room for `bytes` more, so large replies grow once.
    void reserve(std::size_t bytes) { buffer_.reserve(buffer_.size() + bytes); }
    // wipe clears the line after it has been written.
    void wipe() { buffer_.resize(0); }

private:
    void appendText(std::string_view text);
    void appendEscaped(std::string_view text);
    void appendName(std::string_view name);
    char* grow(std::size_t length);

    SecretBytes buffer_;
    bool firstInArray_ = false;
};

}  // namespace quorvane
