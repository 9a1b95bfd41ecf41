#include "server/reply_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "crypto/base64.h"

namespace quorvane {
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
// size. Most replies (base64, hex, plain text) need none, so this scan is the whole cost.
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

// countSolidus returns how many "/" `text` holds.
std::size_t countSolidus(const char* text, std::size_t size) {
    std::size_t count = 0, i = 0;
#if defined(__SSE2__)
    const __m128i slash = _mm_set1_epi8('/');
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        count += static_cast<std::size_t>(
            __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, slash)))));
    }
#endif
    for (; i < size; ++i) count += text[i] == '/';
    return count;
}

// copySolidusEscaped copies `size` bytes of `text` to `out` with each "/" written as "\/" and
// returns the length written. `out` has room for `room` bytes, at least the text's escaped length.
std::size_t copySolidusEscaped(const char* text, std::size_t size, char* out, std::size_t room) {
    char* start = out;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bytes are stored as they are; where one is "/", a backslash goes before it and the
    // copy goes on right after it. One "/" in about 64 base64 characters keeps this near memcpy.
    const __m128i slash = _mm_set1_epi8('/');
    while (i + 16 <= size && static_cast<std::size_t>(out - start) + 16 <= room) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chunk);
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, slash)));
        if (mask == 0) {
            i += 16;
            out += 16;
            continue;
        }
        auto at = static_cast<std::size_t>(__builtin_ctz(mask));
        out[at] = '\\';
        out[at + 1] = '/';
        i += at + 1;
        out += at + 2;
    }
#endif
    for (; i < size; ++i) {
        if (text[i] == '/') *out++ = '\\';
        *out++ = text[i];
    }
    return static_cast<std::size_t>(out - start);
}

}  // namespace

char* ReplyWriter::grow(std::size_t length) {
    return reinterpret_cast<char*>(buffer_.extend(length));
}

void ReplyWriter::appendText(std::string_view text) {
    std::memcpy(grow(text.size()), text.data(), text.size());
}

void ReplyWriter::appendEscaped(std::string_view text) {
    std::size_t first = firstNeedingEscape(text.data(), text.size());
    std::size_t total = 2 + text.size();
    for (std::size_t i = first; i < text.size(); ++i) {
        total += kEscapedLength[static_cast<unsigned char>(text[i])] - 1u;
    }
    char* p = grow(total);
    *p++ = '"';
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
    *p++ = '"';
}

void ReplyWriter::appendName(std::string_view name) {
    appendText(",\"");
    appendText(name);
    appendText("\":");
}

void ReplyWriter::discardProduced() {
    produce_ = nullptr;
    producedAt_ = 0;
    producedLength_ = 0;
}

void ReplyWriter::begin(std::int64_t id) {
    buffer_.resize(0);
    discardProduced();
    appendText("{\"id\":");
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, id);
    appendText({digits, static_cast<std::size_t>(result.ptr - digits)});
    appendText(",\"ok\":true");
}

void ReplyWriter::fail(std::int64_t id, std::string_view error) {
    begin(id);
    buffer_.resize(buffer_.size() - 4);  // drop "true"
    appendText("false,\"error\":");
    appendEscaped(error);
}

void ReplyWriter::ready() {
    buffer_.resize(0);
    discardProduced();
    appendText("{\"ready\":true");
}

void ReplyWriter::addString(std::string_view name, std::string_view value) {
    appendName(name);
    appendEscaped(value);
}

void ReplyWriter::addInteger(std::string_view name, std::int64_t value) {
    appendName(name);
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    appendText({digits, static_cast<std::size_t>(result.ptr - digits)});
}

char* ReplyWriter::scratch(std::size_t length) {
    if (piece_.size() < length) piece_.resize(length);
    pieceUsed_ = std::max(pieceUsed_, length);
    return reinterpret_cast<char*>(piece_.data());
}

void ReplyWriter::appendSolidusEscaped(const char* text, std::size_t length) {
    std::size_t escapedLength = length + countSolidus(text, length);
    copySolidusEscaped(text, length, grow(escapedLength), escapedLength);
}

void ReplyWriter::appendBase64(std::span<const std::uint8_t> first,
                               std::span<const std::uint8_t> second) {
    std::size_t length = base64EncodedLength(first.size() + second.size());
    char* text = scratch(length);
    base64Encode(first, second, text);
    appendText("\"");
    appendSolidusEscaped(text, length);
    appendText("\"");
}

void ReplyWriter::addBase64(std::string_view name, std::span<const std::uint8_t> first,
                            std::span<const std::uint8_t> second) {
    appendName(name);
    appendBase64(first, second);
}

void ReplyWriter::addProducedString(std::string_view name, std::size_t length,
                                    TextProducer produce) {
    if (produce_) throw std::logic_error("a reply holds one produced member at most");
    appendName(name);
    if (length <= kPiece) {
        char* text = scratch(length);
        produce(0, length, text);
        appendText("\"");
        appendSolidusEscaped(text, length);
        appendText("\"");
        return;
    }
    // A piece, then its escaped form (at most twice as long) behind it.
    scratch(3 * kPiece);
    appendText("\"");
    producedAt_ = buffer_.size();
    appendText("\"");
    producedLength_ = length;
    produce_ = std::move(produce);
}

void ReplyWriter::send(const Output& output) {
    std::string_view text = buffer_.view();
    if (!produce_) {
        output(text);
        return;
    }
    if (!output(text.substr(0, producedAt_))) return;
    char* raw = reinterpret_cast<char*>(piece_.data());
    char* escaped = raw + kPiece;
    for (std::size_t offset = 0; offset < producedLength_; offset += kPiece) {
        std::size_t count = std::min(kPiece, producedLength_ - offset);
        produce_(offset, count, raw);
        if (!output({escaped, copySolidusEscaped(raw, count, escaped, 2 * kPiece)})) return;
    }
    output(text.substr(producedAt_));
}

std::string_view ReplyWriter::line() {
    if (produce_) {
        // The text goes where it belongs, piece by piece, and what followed it after it.
        SecretBytes tail = SecretBytes::copyOf(buffer_.view().substr(producedAt_));
        buffer_.resize(producedAt_);
        char* raw = reinterpret_cast<char*>(piece_.data());
        for (std::size_t offset = 0; offset < producedLength_; offset += kPiece) {
            std::size_t count = std::min(kPiece, producedLength_ - offset);
            produce_(offset, count, raw);
            appendSolidusEscaped(raw, count);
        }
        appendText(tail.view());
        discardProduced();
    }
    return buffer_.view();
}

void ReplyWriter::wipe() {
    buffer_.resize(0);
    discardProduced();
    wipeMemory(piece_.data(), pieceUsed_);
    pieceUsed_ = 0;
}

void ReplyWriter::beginArray(std::string_view name) {
    appendName(name);
    appendText("[");
    firstInArray_ = true;
}

void ReplyWriter::arrayString(std::string_view value) {
    if (!firstInArray_) appendText(",");
    firstInArray_ = false;
    appendEscaped(value);
}

void ReplyWriter::arrayBase64(std::span<const std::uint8_t> first,
                              std::span<const std::uint8_t> second) {
    if (!firstInArray_) appendText(",");
    firstInArray_ = false;
    appendBase64(first, second);
}

void ReplyWriter::endArray() { appendText("]"); }

void ReplyWriter::finish() { appendText("}\n"); }

}  // namespace quorvane
