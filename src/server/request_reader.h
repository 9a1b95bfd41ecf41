#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/utf8.h"
#include "crypto/base64_stream.h"
#include "server/request.h"

namespace quorvane {

// Requests are nested at most this deep, counting the request object itself as the first level
// and every array and object inside it, empty or not.
inline constexpr std::size_t kMaxNesting = 1024;

// RequestReader reads one request line as it arrives, piece by piece, and builds the Request
// directly: strict RFC 8259 JSON (valid UTF-8, no surrogate escapes left unpaired, nothing after
// the object), an object at the top, at most kMaxNesting levels. Every number that is valid JSON
// is accepted whatever its size; the integer value of a kept member is read from its characters.
// Kept strings are decoded (escapes included) straight into the request's SecretBytes, base64
// members into their bytes; nothing else of the line is copied. The reader's own state (a key's
// first characters, half an escape) is wiped with every line. Not thread-safe.
class RequestReader {
  public:
    // feed reads the next bytes of the current line. Once the line cannot be a request, or memory
    // for what it holds cannot be had, the rest of the line is skipped (and in the second case the
    // request's memory is given back). Never raises.
    void feed(std::string_view bytes) noexcept;
    // finish ends the line: true when it was a request and request() holds its members; false
    // otherwise, the request then empty. Never raises.
    bool finish() noexcept;
    // request is the line's request, valid until reset().
    Request& request() { return request_; }
    // reset wipes the request and the reader's state, ready for the next line.
    void reset() noexcept;

  private:
    enum class State : std::uint8_t {
        begin,       // before the request object
        keyOrClose,  // after '{'
        key,         // after ',' in an object
        colon,       // after a key
        value,       // after ':' or ',' in an array
        valueOrClose,  // after '['
        next,        // after a value: ',' or the container's close
        end,         // after the request object: whitespace only
        string,
        escape,      // after a backslash
        unicode,     // inside the four digits of \u
        lowEscape,   // after a high surrogate: its low one's "\" is due
        lowU,        // its "u"
        number,
        literal,
        failed,
    };
    enum class Sink : std::uint8_t { none, key, text, base64 };
    // A number's characters, taken in as they arrive, tell whether its value is exactly an
    // integer of 64 bits and which, in constant memory however long the number.
    struct ExactNumber {
        bool negative = false, inFraction = false, inExponent = false, exponentNegative = false;
        bool tooLong = false;
        std::uint64_t digits = 0;    // the significant digits read so far, from the first non-zero
        std::uint64_t count = 0;     // how many those are
        std::uint64_t zeros = 0;     // zeros after the last non-zero digit
        std::uint64_t fraction = 0;  // digits after the decimal point
        std::uint64_t exponent = 0;  // saturated
        void take(char c) noexcept;
        std::optional<std::int64_t> value() const noexcept;
    };

    const char* step(const char* p, const char* end);
    const char* readString(const char* p, const char* end);
    const char* readNumber(const char* p, const char* end);
    void startValue(char c);
    void startString(Sink sink, bool key = false);
    void endString();
    void open(bool array);
    void close();
    void endValue();
    void emit(const char* bytes, std::size_t size);
    void emitCodePoint(std::uint32_t codePoint);
    void fail() noexcept;

    Request request_;
    Base64Stream base64_;
    State state_ = State::begin;
    Sink sink_ = Sink::none;
    bool readingKey_ = false;
    std::size_t depth_ = 0;
    std::bitset<kMaxNesting + 1> isArray_;  // per level
    Request::Value* member_ = nullptr;     // the kept member whose value is being read
    // The key being read: its first characters and its whole length.
    static constexpr std::size_t kKeyRoom = 16;
    char key_[kKeyRoom] = {};
    std::size_t keyLength_ = 0;
    Utf8Check utf8_;
    std::uint32_t unit_ = 0;   // the \u digits so far
    int unitDigits_ = 0;
    std::uint32_t high_ = 0;   // a high surrogate waiting for its low one
    const char* literal_ = nullptr;  // what is left of true, false or null
    int numberPhase_ = 0;
    bool numberKept_ = false;
    ExactNumber number_;
};

}  // namespace quorvane
