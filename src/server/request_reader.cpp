#include "server/request_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {
namespace {

using Kind = Request::Kind;

constexpr bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// plainRun returns how many bytes from `p` on are string text as it stands: no quote, no
// backslash, no control character, nothing beyond ASCII. A payload is one long such run.
std::size_t plainRun(const char* p, std::size_t size) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);  // signed: bytes from 0x80 up are below it too
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i found = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote),
                                                  _mm_cmpeq_epi8(chunk, backslash)),
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

// Larger exponents answer every question asked here the same way: no line that fits in memory
// holds enough digits to make up for them.
constexpr std::uint64_t kExponentLimit = std::uint64_t{1} << 60;

}  // namespace

void RequestReader::ExactNumber::take(char c) noexcept {
    if (c == '-' || c == '+') {
        if (inExponent) exponentNegative = c == '-';
        else negative = true;
        return;
    }
    if (c == '.') {
        inFraction = true;
        return;
    }
    if (c == 'e' || c == 'E') {
        inExponent = true;
        return;
    }
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (inExponent) {
        exponent = exponent >= kExponentLimit / 10 ? kExponentLimit : exponent * 10 + digit;
        return;
    }
    if (inFraction) ++fraction;
    if (digit == 0) {
        if (count > 0) ++zeros;  // leading zeros say nothing
        return;
    }
    // A non-zero digit makes the zeros before it significant.
    count += zeros + 1;
    if (count > 19) {
        tooLong = true;
    } else {
        for (std::uint64_t k = 0; k <= zeros; ++k) digits *= 10;
        digits += digit;
    }
    zeros = 0;
}

std::optional<std::int64_t> RequestReader::ExactNumber::value() const noexcept {
    if (count == 0) return 0;  // every zero, -0 and 0e999 included
    // More than 19 significant digits: at least 10^19 (beyond 2^63), or a fraction.
    if (tooLong) return std::nullopt;
    // The value is digits * 10^scale, and the last significant digit is not zero: a negative
    // scale leaves a fraction.
    auto scale = static_cast<std::int64_t>(zeros) - static_cast<std::int64_t>(fraction) +
                 (exponentNegative ? -1 : 1) * static_cast<std::int64_t>(exponent);
    if (scale < 0 || static_cast<std::int64_t>(count) + scale > 19) return std::nullopt;
    std::uint64_t magnitude = digits;
    for (std::int64_t k = 0; k < scale; ++k) magnitude *= 10;
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;  // |INT64_MIN|
    if (magnitude > kLimit || (magnitude == kLimit && !negative)) return std::nullopt;
    if (magnitude == kLimit) return std::numeric_limits<std::int64_t>::min();
    return negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

void RequestReader::feed(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    try {
        while (p < end && state_ != State::failed) p = step(p, end);
    } catch (const std::bad_alloc&) {
        // The request cannot be held: the line fails as a whole, and what it held so far goes
        // back to the system so the helper can go on serving.
        fail();
        request_.release();
    }
}

bool RequestReader::finish() noexcept {
    if (state_ == State::end) return true;
    fail();
    return false;
}

void RequestReader::reset() noexcept {
    request_.clear();
    base64_.wipe();
    wipeMemory(key_, sizeof key_);
    wipeMemory(&unit_, sizeof unit_);
    wipeMemory(&high_, sizeof high_);
    state_ = State::begin;
    sink_ = Sink::none;
    depth_ = 0;
    member_ = nullptr;
    keyLength_ = 0;
    utf8_.reset();
    unitDigits_ = 0;
    literal_ = nullptr;
    numberKept_ = false;
}

void RequestReader::fail() noexcept {
    state_ = State::failed;
    request_.clear();
    base64_.wipe();
}

const char* RequestReader::step(const char* p, const char* end) {
    if (state_ == State::string) return readString(p, end);
    if (state_ == State::number) return readNumber(p, end);
    char c = *p++;
    switch (state_) {
        case State::escape: {
            static constexpr char kFrom[] = "\"\\/bfnrt";
            static constexpr char kTo[] = "\"\\/\b\f\n\r\t";
            if (c == 'u') {
                state_ = State::unicode;
                return p;
            }
            const char* at = c != '\0' ? std::strchr(kFrom, c) : nullptr;
            if (at == nullptr) break;
            emit(&kTo[at - kFrom], 1);
            state_ = State::string;
            return p;
        }
        case State::unicode: {
            int digit = hexValue(c);
            if (digit < 0) break;
            unit_ = unit_ << 4 | static_cast<std::uint32_t>(digit);
            if (++unitDigits_ < 4) return p;
            std::uint32_t unit = unit_;
            unit_ = 0;
            unitDigits_ = 0;
            state_ = State::string;
            bool low = unit >= 0xdc00 && unit <= 0xdfff;
            if (high_ != 0) {
                if (!low) break;
                emitCodePoint(0x10000 + ((high_ - 0xd800) << 10) + (unit - 0xdc00));
                high_ = 0;
            } else if (unit >= 0xd800 && unit <= 0xdbff) {
                high_ = unit;
                state_ = State::lowEscape;
            } else if (low) {
                break;
            } else {
                emitCodePoint(unit);
            }
            return p;
        }
        case State::lowEscape:
            if (c != '\\') break;
            state_ = State::lowU;
            return p;
        case State::lowU:
            if (c != 'u') break;
            state_ = State::unicode;
            return p;
        case State::literal:
            if (c != *literal_) break;
            if (*++literal_ == '\0') endValue();
            return p;
        default:
            if (isSpace(c)) return p;
            switch (state_) {
                case State::begin:
                    if (c != '{') break;
                    open(false);
                    return p;
                case State::keyOrClose:
                    if (c == '}') {
                        close();
                        return p;
                    }
                    [[fallthrough]];
                case State::key:
                    if (c != '"') break;
                    keyLength_ = 0;
                    startString(depth_ == 1 ? Sink::key : Sink::none, true);
                    return p;
                case State::colon:
                    if (c != ':') break;
                    if (depth_ == 1) {
                        member_ = keyLength_ <= kKeyRoom ? request_.value({key_, keyLength_})
                                                         : nullptr;
                    }
                    state_ = State::value;
                    return p;
                case State::valueOrClose:
                    if (c == ']') {
                        close();
                        return p;
                    }
                    [[fallthrough]];
                case State::value:
                    startValue(c);
                    return p;
                case State::next:
                    if (c == ',') {
                        state_ = isArray_[depth_] ? State::value : State::key;
                        return p;
                    }
                    if (c != (isArray_[depth_] ? ']' : '}')) break;
                    close();
                    return p;
                default:  // after the request object only whitespace may follow
                    break;
            }
    }
    fail();
    return end;
}

void RequestReader::startValue(char c) {
    // The value is a kept member's, or an element of a kept member's array (a string array so
    // far), or nothing kept.
    Request::Value* kept = nullptr;
    bool element = false;
    if (member_ != nullptr && depth_ == 1) {
        // The last occurrence of a name counts: an earlier value is gone from here on.
        Request::reset(*member_);
        kept = member_;
    } else if (member_ != nullptr && depth_ == 2 && member_->kind == Kind::stringArray) {
        element = true;
    }
    if (c == '"') {
        if (kept != nullptr) kept->kind = Kind::string;
        if (kept != nullptr && kept->base64) {
            base64_.begin(kept->bytes);
            startString(Sink::base64);
        } else {
            startString(kept != nullptr || element ? Sink::text : Sink::none);
        }
        return;
    }
    if (element) {
        Request::reset(*member_);
        member_->kind = Kind::other;
    }
    if (kept != nullptr) kept->kind = c == '[' && !kept->base64 ? Kind::stringArray : Kind::other;
    if (c == '{' || c == '[') {
        open(c == '[');
    } else if (c == '-' || isDigit(c)) {
        if (kept != nullptr) kept->kind = Kind::number;
        numberKept_ = kept != nullptr;
        number_ = {};
        if (numberKept_) number_.take(c);
        numberPhase_ = c == '-' ? 0 : c == '0' ? 1 : 2;
        state_ = State::number;
    } else if (c == 't' || c == 'f' || c == 'n') {
        literal_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
        state_ = State::literal;
    } else {
        fail();
    }
}

void RequestReader::startString(Sink sink, bool key) {
    sink_ = sink;
    readingKey_ = key;
    state_ = State::string;
}

void RequestReader::endString() {
    Sink sink = sink_;
    sink_ = Sink::none;
    if (readingKey_) {
        state_ = State::colon;
        return;
    }
    if (sink == Sink::base64) member_->valid = base64_.finish();
    if (sink == Sink::text && depth_ == 2) member_->ends.push_back(member_->bytes.size());
    endValue();
}

const char* RequestReader::readString(const char* p, const char* end) {
    while (p < end) {
        // Inside a multi-byte character only its continuation bytes may follow.
        std::size_t run = utf8_.complete() ? plainRun(p, static_cast<std::size_t>(end - p)) : 0;
        emit(p, run);
        p += run;
        if (p == end) break;
        auto c = static_cast<unsigned char>(*p);
        if (c >= 0x80 || !utf8_.complete()) {
            const char* from = p;
            while (p < end && static_cast<unsigned char>(*p) >= 0x80) {
                if (!utf8_.next(static_cast<unsigned char>(*p))) break;
                ++p;
            }
            if (p == from || (p < end && static_cast<unsigned char>(*p) >= 0x80)) {
                fail();
                return end;
            }
            emit(from, static_cast<std::size_t>(p - from));
            continue;
        }
        ++p;
        if (c == '"') {
            endString();
        } else if (c == '\\') {
            state_ = State::escape;
        } else {
            fail();  // a control character
            return end;
        }
        return p;
    }
    return end;
}

const char* RequestReader::readNumber(const char* p, const char* end) {
    // Phases: 0 after '-', 1 after a leading 0, 2 in the integer digits, 3 after '.', 4 in the
    // fraction, 5 after 'e', 6 after the exponent's sign, 7 in the exponent.
    for (; p < end; ++p) {
        char c = *p;
        bool exponent = c == 'e' || c == 'E';
        int phase = -1;
        switch (numberPhase_) {
            case 0: phase = c == '0' ? 1 : isDigit(c) ? 2 : -1; break;
            case 1: phase = c == '.' ? 3 : exponent ? 5 : -1; break;
            case 2: phase = isDigit(c) ? 2 : c == '.' ? 3 : exponent ? 5 : -1; break;
            case 3: phase = isDigit(c) ? 4 : -1; break;
            case 4: phase = isDigit(c) ? 4 : exponent ? 5 : -1; break;
            case 5: phase = isDigit(c) ? 7 : c == '+' || c == '-' ? 6 : -1; break;
            default: phase = isDigit(c) ? 7 : -1; break;
        }
        if (phase < 0) {
            // The number ends before `c`, which is read again as what follows it.
            if (numberPhase_ == 0 || numberPhase_ == 3 || numberPhase_ == 5 || numberPhase_ == 6) {
                fail();
                return end;
            }
            if (numberKept_) member_->integer = number_.value();
            endValue();
            return p;
        }
        if (numberKept_) number_.take(c);
        numberPhase_ = phase;
    }
    return end;
}

void RequestReader::open(bool array) {
    if (depth_ == kMaxNesting) return fail();
    ++depth_;
    isArray_[depth_] = array;
    state_ = array ? State::valueOrClose : State::keyOrClose;
}

void RequestReader::close() {
    --depth_;
    endValue();
}

void RequestReader::endValue() { state_ = depth_ == 0 ? State::end : State::next; }

void RequestReader::emit(const char* bytes, std::size_t size) {
    switch (sink_) {
        case Sink::text:
            member_->bytes.append({reinterpret_cast<const std::uint8_t*>(bytes), size});
            break;
        case Sink::base64:
            base64_.append({bytes, size});
            break;
        case Sink::key:
            if (keyLength_ < kKeyRoom)
                std::memcpy(key_ + keyLength_, bytes, std::min(size, kKeyRoom - keyLength_));
            keyLength_ += size;
            break;
        case Sink::none:
            break;
    }
}

void RequestReader::emitCodePoint(std::uint32_t codePoint) {
    char utf8[4];
    std::size_t size = 1;
    if (codePoint < 0x80) {
        utf8[0] = static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        utf8[0] = static_cast<char>(0xc0 | codePoint >> 6);
        size = 2;
    } else if (codePoint < 0x10000) {
        utf8[0] = static_cast<char>(0xe0 | codePoint >> 12);
        size = 3;
    } else {
        utf8[0] = static_cast<char>(0xf0 | codePoint >> 18);
        size = 4;
    }
    for (std::size_t i = 1; i < size; ++i)
        utf8[i] = static_cast<char>(0x80 | ((codePoint >> (6 * (size - 1 - i))) & 0x3f));
    emit(utf8, size);
    // The character may be part of a password.
    wipeMemory(utf8, sizeof utf8);
}

}  // namespace quorvane
