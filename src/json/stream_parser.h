#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8.h"

namespace quorvane::json {

// What a StreamParser reports while it reads, in document order. Text arrives in parts of any
// size, split wherever the input was: the bytes of a key or string value with its escapes already
// decoded, or the characters of a number as written.
class Handler {
  public:
    enum class Value : std::uint8_t { object, array, string, number, literal };
    // beginValue: a value of `type` starts (an object or array with its opening bracket; a literal,
    // true, false or null, is whole with it). False refuses the document: the parse then fails.
    virtual bool beginValue(Value type) = 0;
    // endContainer: the innermost open object or array closes.
    virtual void endContainer() = 0;
    // beginKey: the name of an object member starts.
    virtual void beginKey() = 0;
    // part: the next bytes of the current key, string or number.
    virtual void part(std::string_view bytes) = 0;
    // end: the current key, string or number is complete.
    virtual void end() = 0;

  protected:
    ~Handler() = default;
};

// StreamParser reads one JSON text (RFC 8259, strictly: UTF-8 validated, every escape checked, a
// surrogate escape only as half of a pair, nothing but whitespace after the value) that arrives in
// pieces, and reports it to a Handler as it goes, holding none of it: its state is where it is in
// the grammar, at most three bytes of an unfinished \u escape and the open containers. Every
// number that is valid JSON passes, whatever its length or exponent. Objects and arrays nest at
// most `maxDepth` levels (the outermost counts as the first). Not thread-safe.
class StreamParser {
  public:
    static constexpr std::size_t kMaxDepthLimit = 4096;

    // `handler` must outlive the parser; `maxDepth` is at most kMaxDepthLimit.
    StreamParser(Handler& handler, std::size_t maxDepth) : handler_(handler), maxDepth_(maxDepth) {}

    // feed reads the next piece of the text: false once it cannot be valid JSON (or the handler
    // refused it), and from then on. A handler's exception passes through, leaving the parse
    // unusable until reset().
    bool feed(std::string_view bytes);
    // finish ends the text: true when exactly one complete value was read (a number standing
    // alone ends here, reported to the handler).
    bool finish();
    // reset wipes the state, ready for another text.
    void reset() noexcept;

  private:
    enum class State : std::uint8_t {
        begin,         // before the value
        keyOrClose,    // after '{'
        key,           // after ',' in an object
        colon,         // after a key
        value,         // after ':' or ',' in an array
        valueOrClose,  // after '['
        next,          // after a value: ',' or the container's close
        end,           // after the value: whitespace only
        string,        // in a key or string value
        escape,        // after a backslash
        unicode,       // in the four digits of \u
        lowEscape,     // after a high surrogate: its low one's backslash is due
        lowU,          // its "u"
        number,
        literal,
        failed,
    };

    const char* step(const char* p, const char* end);
    const char* readString(const char* p, const char* end);
    const char* readNumber(const char* p, const char* end);
    bool structural(char c);
    bool beginValue(char c);
    bool escaped(char c);
    bool unicodeDigit(char c);
    void endValue();
    void emitCodePoint(std::uint32_t codePoint);

    Handler& handler_;
    std::size_t maxDepth_;
    State state_ = State::begin;
    std::size_t depth_ = 0;
    std::bitset<kMaxDepthLimit + 1> isArray_;  // per level
    bool inKey_ = false;
    Utf8Check utf8_;
    std::uint32_t unit_ = 0;  // the \u digits so far
    int unitDigits_ = 0;
    std::uint32_t high_ = 0;         // a high surrogate waiting for its low half
    const char* literal_ = nullptr;  // what is left of true, false or null
    int numberPhase_ = 0;
};

}  // namespace quorvane::json
