#include "json/string_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
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
#if defined(__x86_64__)
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

std::size_t solidusCount(std::string_view text) noexcept {
    const char* data = text.data();
    std::size_t size = text.size();
    std::size_t count = 0, i = 0;
#if defined(__x86_64__)
    const __m128i slash = _mm_set1_epi8('/');
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, slash)));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
    }
#endif
    for (; i < size; ++i) count += data[i] == '/';
    return count;
}

#if defined(__x86_64__)
namespace {

// For each pattern of '/' among 8 bytes, the shuffle that spreads them over 8 + (number of '/')
// bytes with a backslash (lane 8 of the source) before each '/'.
struct ExpandTable {
    alignas(16) std::uint8_t shuffle[256][16];
    std::uint8_t length[256];
};

constexpr ExpandTable makeExpandTable() {
    ExpandTable table{};
    for (int mask = 0; mask < 256; ++mask) {
        int j = 0;
        for (int i = 0; i < 8; ++i) {
            if (mask & (1 << i)) table.shuffle[mask][j++] = 8;
            table.shuffle[mask][j++] = static_cast<std::uint8_t>(i);
        }
        table.length[mask] = static_cast<std::uint8_t>(j);
        for (; j < 16; ++j) table.shuffle[mask][j] = 0x80;
    }
    return table;
}
constexpr ExpandTable kExpand = makeExpandTable();

// Sixteen bytes at a time without a branch: each half goes through its shuffle, so a '/' costs
// no more than any other byte (base64 holds one in 64, at random places).
__attribute__((target("ssse3"))) std::size_t expandSolidus(const char* data, std::size_t size,
                                                           char* out, std::size_t room,
                                                           std::size_t* consumed) {
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i backslash = _mm_set1_epi8('\\');
    std::size_t i = 0, written = 0;
    for (; i + 16 <= size && written + 32 <= room; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, slash)));
        unsigned low = mask & 0xff, high = mask >> 8;
        __m128i first = _mm_unpacklo_epi64(chunk, backslash);
        __m128i second = _mm_unpackhi_epi64(chunk, backslash);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + written),
            _mm_shuffle_epi8(
                first, _mm_load_si128(reinterpret_cast<const __m128i*>(kExpand.shuffle[low]))));
        written += kExpand.length[low];
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out + written),
            _mm_shuffle_epi8(
                second, _mm_load_si128(reinterpret_cast<const __m128i*>(kExpand.shuffle[high]))));
        written += kExpand.length[high];
    }
    *consumed = i;
    return written;
}

}  // namespace
#endif

std::size_t writeSolidusEscaped(std::string_view text, char* out, std::size_t room) noexcept {
    std::size_t i = 0, written = 0;
#if defined(__x86_64__)
    static const bool kShuffles = __builtin_cpu_supports("ssse3");
    if (kShuffles) written = expandSolidus(text.data(), text.size(), out, room, &i);
#endif
    for (; i < text.size(); ++i) {
        if (text[i] == '/') out[written++] = '\\';
        out[written++] = text[i];
    }
    return written;
}

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
