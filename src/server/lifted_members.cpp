#include "server/lifted_members.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {
namespace {

thread_local const LiftedMembers* current = nullptr;

constexpr bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

constexpr bool isSpecial(char c, bool strict) {
    auto byte = static_cast<unsigned char>(c);
    return c == '"' || c == '\\' || (strict && (byte < 0x20 || byte >= 0x80));
}

std::size_t firstSpecialFrom(const char* text, std::size_t i, std::size_t size, bool strict) {
    for (; i < size; ++i) {
        if (isSpecial(text[i], strict)) return i;
    }
    return size;
}

#if defined(__SSE2__)
template <bool Strict>
std::size_t firstSpecialSse2(const char* text, std::size_t size) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    // Signed comparison: bytes from 0x80 up are negative, so "below 0x20" also catches them.
    const __m128i space = _mm_set1_epi8(0x20);
    auto specials = [&](std::size_t at) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        __m128i found =
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
        if constexpr (Strict) found = _mm_or_si128(found, _mm_cmplt_epi8(chunk, space));
        return found;
    };
    std::size_t i = 0;
    // A payload is one long run without specials: test 64 bytes per step, then find the byte.
    for (; i + 64 <= size; i += 64) {
        __m128i any = _mm_or_si128(_mm_or_si128(specials(i), specials(i + 16)),
                                   _mm_or_si128(specials(i + 32), specials(i + 48)));
        if (_mm_movemask_epi8(any) != 0) break;
    }
    for (; i + 16 <= size; i += 16) {
        int mask = _mm_movemask_epi8(specials(i));
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    return firstSpecialFrom(text, i, size, Strict);
}
#endif

// stringEnd returns the index of the quote closing the string whose text starts at `from`, or
// nothing when the line ends first. `plain` tells whether the text is its own value (no escape,
// no control character, ASCII only).
std::optional<std::size_t> stringEnd(const char* line, std::size_t size, std::size_t from,
                                     bool* plain) {
    *plain = true;
    std::size_t i = from;
    while (i < size) {
        i += firstStringSpecial(line + i, size - i, *plain);
        if (i >= size) break;
        char c = line[i];
        if (c == '"') return i;
        *plain = false;
        i += c == '\\' ? 2 : 1;  // an escaped character never ends the string
    }
    return std::nullopt;
}

}  // namespace

std::size_t firstStringSpecialPortable(const char* text, std::size_t size, bool strict) noexcept {
    // Eight bytes at a time: the classic "has a zero byte" test on the word XORed with each
    // searched byte, and for `strict` "has a byte below 0x20" or a high bit. Each test is exact
    // about whether the word holds such a byte; the byte loop then finds which.
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighs = 0x8080808080808080;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        std::uint64_t quote = word ^ (kOnes * '"');
        std::uint64_t backslash = word ^ (kOnes * '\\');
        std::uint64_t hits = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash);
        if (strict) hits |= ((word - kOnes * 0x20) & ~word) | word;
        if ((hits & kHighs) == 0) continue;
        std::size_t found = firstSpecialFrom(text, i, i + 8, strict);
        if (found < i + 8) return found;
    }
    return firstSpecialFrom(text, i, size, strict);
}

std::size_t firstStringSpecial(const char* text, std::size_t size, bool strict) noexcept {
#if defined(__SSE2__)
    return strict ? firstSpecialSse2<true>(text, size) : firstSpecialSse2<false>(text, size);
#else
    return firstStringSpecialPortable(text, size, strict);
#endif
}

std::optional<std::string_view> LiftedMembers::lift(std::span<char> line, std::size_t padding) {
    clear();
    const char* text = line.data();
    std::size_t size = line.size();
    if (size < kMinLine) return std::nullopt;
    // Cheap test first: long lines of other commands (the lines of a vault) have no such key.
    if (std::string_view(text, size).find("\"data\"") == std::string_view::npos)
        return std::nullopt;

    std::size_t i = 0;
    while (i < size && isSpace(text[i])) ++i;
    if (i == size || text[i] != '{') return std::nullopt;
    // Walk the tokens, tracking depth and, at the top level, whether a string is a key or a
    // value. `last` is the last token at the top level: '{', ',', ':', 'k' (key), 'v' (value).
    std::size_t depth = 0;
    std::size_t members = 0;
    char last = 0;
    bool keyIsData = false;
    bool closed = false;
    while (i < size && !closed) {
        char c = text[i];
        if (c == '"') {
            bool plain = false;
            auto end = stringEnd(text, size, i + 1, &plain);
            if (!end) break;
            std::size_t length = *end - i - 1;
            if (depth == 1) {
                if (last == '{' || last == ',') {
                    keyIsData = plain && length == 4 && std::memcmp(text + i + 1, "data", 4) == 0;
                    ++members;
                    last = 'k';
                } else {
                    if (last == ':' && keyIsData && plain && length >= kMinString) {
                        members_.push_back({members - 1, line.subspan(i + 1, length), nullptr});
                    }
                    last = 'v';
                }
            }
            i = *end + 1;
            continue;
        }
        switch (c) {
            case '{':
            case '[':
                if (++depth == 1) last = '{';
                break;
            case '}':
            case ']':
                if (--depth == 0) closed = true;
                if (depth == 1) last = 'v';
                break;
            case ':':
            case ',':
                if (depth == 1) last = c;
                break;
            case '\\':
                // Outside strings a backslash is invalid JSON; the parser's notion of where strings
                // start could then differ from this walk's, so leave such a line whole.
                members_.clear();
                return std::nullopt;
            default:
                if (depth == 1 && !isSpace(c)) last = 'v';
        }
        ++i;
    }
    if (!closed || members_.empty()) {
        members_.clear();
        return std::nullopt;
    }

    std::size_t removed = 0;
    for (const Member& member : members_) removed += member.text.size();
    std::size_t skeletonSize = size - removed;
    skeleton_.resize(0);
    auto* out = reinterpret_cast<char*>(skeleton_.extend(skeletonSize + padding));
    const char* from = text;
    for (const Member& member : members_) {
        std::size_t keep = static_cast<std::size_t>(member.text.data() - from);
        std::memcpy(out, from, keep);
        out += keep;
        from = member.text.data() + member.text.size();
    }
    std::size_t rest = static_cast<std::size_t>(text + size - from);
    std::memcpy(out, from, rest);
    std::memset(out + rest, 0, padding);
    return std::string_view(reinterpret_cast<const char*>(skeleton_.data()), skeletonSize);
}

bool LiftedMembers::bind(simdjson::dom::element root) {
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) return false;
    auto member = members_.begin();
    std::size_t index = 0;
    for (auto field : object) {
        if (member == members_.end()) break;
        if (index++ != member->index) continue;
        std::string_view placeholder;
        if (field.value.get_string().get(placeholder) != simdjson::SUCCESS ||
            !placeholder.empty()) {
            return false;
        }
        member->placeholder = placeholder.data();
        ++member;
    }
    return member == members_.end();
}

std::span<char> LiftedMembers::resolve(std::span<char> member) const {
    if (!member.empty()) return member;
    for (const Member& lifted : members_) {
        if (lifted.placeholder != nullptr && lifted.placeholder == member.data())
            return lifted.text;
    }
    return member;
}

void LiftedMembers::clear() {
    members_.clear();
    skeleton_.resize(0);
}

std::span<char> liftedText(std::span<char> member) {
    return current != nullptr ? current->resolve(member) : member;
}

CurrentLiftedMembers::CurrentLiftedMembers(const LiftedMembers& members) : previous_(current) {
    current = &members;
}

CurrentLiftedMembers::~CurrentLiftedMembers() { current = previous_; }

}  // namespace quorvane
