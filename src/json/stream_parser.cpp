#include "json/stream_parser.h"

#include <cstring>

#include "crypto/secret_bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane::json {
namespace {

constexpr bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// plainRun returns how many bytes from `p` on are string text as it stands: no quote, no
// backslash, no control character, nothing beyond ASCII. A bulk payload is one long such run.
std::size_t plainRun(const char* p, std::size_t size) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);  // signed: bytes from 0x80 up are below it too
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i found = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
            _mm_cmplt_epi8(chunk, space));
        if (int mask = _mm_movemask_epi8(found))
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i < size; ++i) {
        auto byte = static_cast<unsigned char>(p[i]);
        if (byte == '"' || byte == '\\' || byte < 0x20 || byte >= 0x80) break;
    }
    return i;
}

}  // namespace

bool StreamParser::feed(std::string_view bytes) {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    while (p < end && state_ != State::failed) p = step(p, end);
    return state_ != State::failed;
}

bool StreamParser::finish() {
    if (state_ == State::number && depth_ == 0) {
        static constexpr char kAfter = ' ';  // what ends a number that ends the text
        readNumber(&kAfter, &kAfter + 1);
    }
    return state_ == State::end;
}

void StreamParser::reset() noexcept {
    // Half an escape may be half a character of a password.
    wipeMemory(&unit_, sizeof unit_);
    wipeMemory(&high_, sizeof high_);
    state_ = State::begin;
    depth_ = 0;
    inKey_ = false;
    utf8_.reset();
    unitDigits_ = 0;
    literal_ = nullptr;
    numberPhase_ = 0;
}

const char* StreamParser::step(const char* p, const char* end) {
    if (state_ == State::string) return readString(p, end);
    if (state_ == State::number) return readNumber(p, end);
    char c = *p++;
    bool valid = false;
    switch (state_) {
        case State::escape:
            valid = escaped(c);
            break;
        case State::unicode:
            valid = unicodeDigit(c);
            break;
        case State::lowEscape:
            valid = c == '\\';
            state_ = State::lowU;
            break;
        case State::lowU:
            valid = c == 'u';
            state_ = State::unicode;
            break;
        case State::literal:
            valid = c == *literal_;
            if (valid && *++literal_ == '\0') endValue();
            break;
        default:
            valid = isSpace(c) || structural(c);
    }
    if (!valid) state_ = State::failed;
    return p;
}

bool StreamParser::structural(char c) {
    switch (state_) {
        case State::keyOrClose:
            if (c == '}') break;
            [[fallthrough]];
        case State::key:
            if (c != '"') return false;
            state_ = State::string;
            inKey_ = true;
            handler_.beginKey();
            return true;
        case State::colon:
            if (c != ':') return false;
            state_ = State::value;
            return true;
        case State::valueOrClose:
            if (c == ']') break;
            [[fallthrough]];
        case State::begin:
        case State::value:
            return beginValue(c);
        case State::next:
            if (c == ',') {
                state_ = isArray_[depth_] ? State::value : State::key;
                return true;
            }
            if (c != (isArray_[depth_] ? ']' : '}')) return false;
            break;
        default:  // after the value only whitespace may follow
            return false;
    }
    // The innermost container closes.
    --depth_;
    handler_.endContainer();
    endValue();
    return true;
}

bool StreamParser::beginValue(char c) {
    using Value = Handler::Value;
    if (c == '{' || c == '[') {
        bool array = c == '[';
        if (depth_ == maxDepth_ || !handler_.beginValue(array ? Value::array : Value::object))
            return false;
        isArray_[++depth_] = array;
        state_ = array ? State::valueOrClose : State::keyOrClose;
    } else if (c == '"') {
        if (!handler_.beginValue(Value::string)) return false;
        state_ = State::string;
        inKey_ = false;
    } else if (c == '-' || isDigit(c)) {
        if (!handler_.beginValue(Value::number)) return false;
        handler_.part({&c, 1});
        numberPhase_ = c == '-' ? 0 : c == '0' ? 1 : 2;
        state_ = State::number;
    } else if (c == 't' || c == 'f' || c == 'n') {
        if (!handler_.beginValue(Value::literal)) return false;
        literal_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
        state_ = State::literal;
    } else {
        return false;
    }
    return true;
}

void StreamParser::endValue() { state_ = depth_ == 0 ? State::end : State::next; }

bool StreamParser::escaped(char c) {
    static constexpr char kFrom[] = "\"\\/bfnrt";
    static constexpr char kTo[] = "\"\\/\b\f\n\r\t";
    if (c == 'u') {
        state_ = State::unicode;
        return true;
    }
    const char* at = c != '\0' ? std::strchr(kFrom, c) : nullptr;
    if (at == nullptr) return false;
    handler_.part({&kTo[at - kFrom], 1});
    state_ = State::string;
    return true;
}

bool StreamParser::unicodeDigit(char c) {
    int digit = hexValue(c);
    if (digit < 0) return false;
    unit_ = unit_ << 4 | static_cast<std::uint32_t>(digit);
    if (++unitDigits_ < 4) return true;
    std::uint32_t unit = unit_;
    unit_ = 0;
    unitDigits_ = 0;
    state_ = State::string;
    bool low = unit >= 0xdc00 && unit <= 0xdfff;
    if (high_ != 0) {
        if (!low) return false;
        emitCodePoint(0x10000 + ((high_ - 0xd800) << 10) + (unit - 0xdc00));
        high_ = 0;
    } else if (unit >= 0xd800 && unit <= 0xdbff) {
        high_ = unit;
        state_ = State::lowEscape;
    } else if (low) {
        return false;
    } else {
        emitCodePoint(unit);
    }
    return true;
}

void StreamParser::emitCodePoint(std::uint32_t codePoint) {
    char utf8[4];
    std::size_t size = codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
    static constexpr unsigned char kLead[] = {0, 0, 0xc0, 0xe0, 0xf0};
    utf8[0] = static_cast<char>(kLead[size] | codePoint >> (6 * (size - 1)));
    for (std::size_t i = 1; i < size; ++i)
        utf8[i] = static_cast<char>(0x80 | ((codePoint >> (6 * (size - 1 - i))) & 0x3f));
    handler_.part({utf8, size});
    wipeMemory(utf8, sizeof utf8);  // a character of a password, perhaps
}

const char* StreamParser::readString(const char* p, const char* end) {
    while (p < end) {
        // Inside a multi-byte character only its continuation bytes may follow.
        std::size_t run = utf8_.complete() ? plainRun(p, static_cast<std::size_t>(end - p)) : 0;
        if (run > 0) handler_.part({p, run});
        p += run;
        if (p == end) break;
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || !utf8_.complete()) {
            const char* from = p;
            while (p < end && static_cast<unsigned char>(*p) >= 0x80 &&
                   utf8_.next(static_cast<unsigned char>(*p))) {
                ++p;
            }
            if (p == from || (p < end && static_cast<unsigned char>(*p) >= 0x80)) {
                state_ = State::failed;
                return end;
            }
            handler_.part({from, static_cast<std::size_t>(p - from)});
            continue;
        }
        ++p;
        if (c == '"') {
            handler_.end();
            if (inKey_) {
                state_ = State::colon;
            } else {
                endValue();
            }
        } else if (c == '\\') {
            state_ = State::escape;
        } else {
            state_ = State::failed;  // a control character
        }
        return p;
    }
    return end;
}

const char* StreamParser::readNumber(const char* p, const char* end) {
    // Phases: 0 after '-', 1 after a leading 0, 2 in the integer digits, 3 after '.', 4 in the
    // fraction, 5 after 'e', 6 after the exponent's sign, 7 in the exponent.
    const char* from = p;
    for (; p < end; ++p) {
        char c = *p;
        bool exponent = c == 'e' || c == 'E';
        int phase = -1;
        switch (numberPhase_) {
            case 0:
                phase = c == '0' ? 1 : isDigit(c) ? 2 : -1;
                break;
            case 1:
                phase = c == '.' ? 3 : exponent ? 5 : -1;
                break;
            case 2:
                phase = isDigit(c) ? 2 : c == '.' ? 3 : exponent ? 5 : -1;
                break;
            case 3:
                phase = isDigit(c) ? 4 : -1;
                break;
            case 4:
                phase = isDigit(c) ? 4 : exponent ? 5 : -1;
                break;
            case 5:
                phase = isDigit(c) ? 7 : c == '+' || c == '-' ? 6 : -1;
                break;
            default:
                phase = isDigit(c) ? 7 : -1;
                break;
        }
        if (phase < 0) break;
        numberPhase_ = phase;
    }
    if (p > from) handler_.part({from, static_cast<std::size_t>(p - from)});
    if (p == end) return end;
    // The number ends before *p, which is read again as what follows it.
    if (numberPhase_ == 0 || numberPhase_ == 3 || numberPhase_ == 5 || numberPhase_ == 6) {
        state_ = State::failed;
        return end;
    }
    handler_.end();
    endValue();
    return p;
}

}  // namespace quorvane::json
