#include "json/string_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane::json {
namespace {

// Bytes that JSON strings must (or, for "/", by our convention do) escape.
constexpr bool needsEscape(unsigned char byte) {
    return byte < 0x20 || byte == '"' || byte == '\\' || byte == '/';
}

constexpr std::array<std::uint8_t, 256> makeEscapedLengths() {
    std::array<std::uint8_t, 256> lengths{};
    for (int byte = 0; byte < 256; ++byte) {
        auto b = static_cast<unsigned char>(byte);
        bool shortForm = b == '"' || b == '\\' || b == '/' || b == '\n' || b == '\r' || b == '\t' ||
                         b == '\b' || b == '\f';
        lengths[b] = shortForm ? 2 : (b < 0x20 ? 6 : 1);
    }
    return lengths;
}
constexpr auto kEscapedLength = makeEscapedLengths();

// firstNeedingEscape returns the index of the first byte of `text` that needs escaping, or its
// size. Most reply strings (identifiers, hex, plain text) need none, so this scan is the whole
// cost.
std::size_t firstNeedingEscape(const char* text, std::size_t size) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i control = _mm_set1_epi8(0x1f);
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
            _mm_or_si128(_mm_cmpeq_epi8(chunk, slash),
                         _mm_cmpeq_epi8(_mm_max_epu8(chunk, control), control)));
        int mask = _mm_movemask_epi8(special);
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i < size; ++i) {
        if (needsEscape(static_cast<unsigned char>(text[i]))) return i;
    }
    return size;
}

}  // namespace

std::size_t escapedLength(std::string_view text) noexcept {
    std::size_t total = text.size();
    for (std::size_t i = firstNeedingEscape(text.data(), text.size()); i < text.size(); ++i) {
        total += kEscapedLength[static_cast<unsigned char>(text[i])] - 1u;
    }
    return total;
}

void writeEscaped(std::string_view text, char* p) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = firstNeedingEscape(text.data() + i, text.size() - i);
        std::memcpy(p, text.data() + i, run);
        p += run;
        i += run;
        if (i == text.size()) break;
        auto byte = static_cast<unsigned char>(text[i++]);
        *p++ = '\\';
        switch (byte) {
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            case '\t':
                *p++ = 't';
                break;
            case '\b':
                *p++ = 'b';
                break;
            case '\f':
                *p++ = 'f';
                break;
            default:
                if (byte < 0x20) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    p[0] = 'u';
                    p[1] = '0';
                    p[2] = '0';
                    p[3] = kHex[byte >> 4];
                    p[4] = kHex[byte & 15];
                    p += 5;
                } else {
                    *p++ = static_cast<char>(byte);  // '"', '\\' or '/'
                }
        }
    }
}

}  // namespace quorvane::json
