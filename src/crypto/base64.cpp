#include "crypto/base64.h"

#include <algorithm>
#include <array>

#include "crypto/base64_avx2.h"

namespace quorvane {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = kInvalid;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

constexpr auto kDecode = makeDecodeTable();

// The scalar encoder, writing each '/' as "\/" when `kEscaped`; returns the characters written.
template <bool kEscaped>
std::size_t encodeScalar(std::span<const std::uint8_t> bytes, char* out) {
    char* const start = out;
    auto put = [&out](std::uint32_t index) {
        char c = kAlphabet[index & 63];
        if (kEscaped && c == '/') *out++ = '\\';
        *out++ = c;
    };
    const std::uint8_t* in = bytes.data();
    std::size_t whole = bytes.size() / 3 * 3;
    std::size_t i = 0;
    for (; i < whole; i += 3) {
        std::uint32_t v =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        put(v >> 18);
        put(v >> 12);
        put(v >> 6);
        put(v);
    }
    std::size_t rest = bytes.size() - whole;
    if (rest == 1) {
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        put(v >> 18);
        put(v >> 12);
        *out++ = '=';
        *out++ = '=';
    } else if (rest == 2) {
        std::uint32_t v = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
        put(v >> 18);
        put(v >> 12);
        put(v >> 6);
        *out++ = '=';
    }
    return static_cast<std::size_t>(out - start);
}

template <bool kEscaped>
std::size_t encode(std::span<const std::uint8_t> bytes, char* out) {
    std::size_t done = 0, written = 0;
    if (hasAvx2()) {
        if constexpr (kEscaped) {
            done = base64EncodeEscapedAvx2(bytes.data(), bytes.size(), out, &written);
        } else {
            done = base64EncodeAvx2(bytes.data(), bytes.size(), out);
            written = done / 3 * 4;
        }
    }
    return written + encodeScalar<kEscaped>(bytes.subspan(done), out + written);
}

template <bool kEscaped>
std::size_t encodeTwo(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                      char* out) {
    // Complete the first part's last group with bytes of the second, then continue aligned.
    std::size_t borrow = std::min((3 - first.size() % 3) % 3, second.size());
    std::size_t whole = first.size() / 3 * 3;
    std::size_t written = encode<kEscaped>(first.first(whole), out);
    std::uint8_t joint[5] = {};
    std::size_t jointSize = first.size() - whole;
    std::copy(first.begin() + whole, first.end(), joint);
    std::copy_n(second.begin(), borrow, joint + jointSize);
    jointSize += borrow;
    written += encode<kEscaped>({joint, jointSize}, out + written);
    return written + encode<kEscaped>(second.subspan(borrow), out + written);
}

template <bool kEscaped>
std::size_t encodeSlice(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                        std::size_t offset, std::size_t count, char* out) {
    // Four characters are three bytes, so a slice on a 4-character boundary is the text of
    // the bytes from offset / 4 * 3 on; only the last group of the whole text has padding.
    std::size_t total = first.size() + second.size();
    std::size_t begin = std::min(total, offset / 4 * 3);
    std::size_t end = std::min(total, (offset + count) / 4 * 3);
    auto part = [&](std::span<const std::uint8_t> bytes, std::size_t base) {
        std::size_t from = std::clamp(begin, base, base + bytes.size()) - base;
        std::size_t to = std::clamp(end, base, base + bytes.size()) - base;
        return bytes.subspan(from, to - from);
    };
    return encodeTwo<kEscaped>(part(first, 0), part(second, first.size()), out);
}

}  // namespace

// The scalar forms handle any length; the vector kernels take over the bulk where the CPU has
// them. Both are exposed for tests that hold them to the same results.

void base64EncodeScalar(std::span<const std::uint8_t> bytes, char* out) {
    encodeScalar<false>(bytes, out);
}

void base64Encode(std::span<const std::uint8_t> bytes, char* out) { encode<false>(bytes, out); }

std::size_t base64EncodeEscaped(std::span<const std::uint8_t> bytes, char* out) {
    return encode<true>(bytes, out);
}

std::optional<std::size_t> base64Decode(std::string_view text, std::uint8_t* out) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t done = hasAvx2() ? base64DecodeAvx2(text.data(), text.size(), out) : 0;
    auto rest = base64DecodeScalar(text.substr(done), out + done / 4 * 3);
    if (!rest) return std::nullopt;
    return done / 4 * 3 + *rest;
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string text(base64EncodedLength(bytes.size()), '\0');
    base64Encode(bytes, text.data());
    return text;
}

void base64Encode(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                  char* out) {
    encodeTwo<false>(first, second, out);
}

std::size_t base64EncodeEscaped(std::span<const std::uint8_t> first,
                                std::span<const std::uint8_t> second, char* out) {
    return encodeTwo<true>(first, second, out);
}

void base64EncodeSlice(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                       std::size_t offset, std::size_t count, char* out) {
    encodeSlice<false>(first, second, offset, count, out);
}

std::size_t base64EncodeSliceEscaped(std::span<const std::uint8_t> first,
                                     std::span<const std::uint8_t> second, std::size_t offset,
                                     std::size_t count, char* out) {
    return encodeSlice<true>(first, second, offset, count, out);
}

std::optional<std::size_t> base64DecodeScalar(std::string_view text, std::uint8_t* out) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return 0;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t quads = text.size() / 4;
    std::size_t written = 0;
    // All quads but the last carry no padding.
    for (std::size_t q = 0; q + 1 < quads; ++q, in += 4) {
        std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]], c = kDecode[in[2]],
                      d = kDecode[in[3]];
        if (((a | b | c | d) & 0xc0) != 0) return std::nullopt;  // kInvalid has these bits
        std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        out[written] = static_cast<std::uint8_t>(v >> 16);
        out[written + 1] = static_cast<std::uint8_t>(v >> 8);
        out[written + 2] = static_cast<std::uint8_t>(v);
        written += 3;
    }
    std::uint32_t a = kDecode[in[0]], b = kDecode[in[1]];
    if (a == kInvalid || b == kInvalid) return std::nullopt;
    if (in[2] == '=') {
        if (in[3] != '=') return std::nullopt;
        out[written++] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
        return written;
    }
    std::uint32_t c = kDecode[in[2]];
    if (c == kInvalid) return std::nullopt;
    if (in[3] == '=') {
        std::uint32_t v = (a << 18) | (b << 12) | (c << 6);
        out[written++] = static_cast<std::uint8_t>(v >> 16);
        out[written++] = static_cast<std::uint8_t>(v >> 8);
        return written;
    }
    std::uint32_t d = kDecode[in[3]];
    if (d == kInvalid) return std::nullopt;
    std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    out[written++] = static_cast<std::uint8_t>(v >> 16);
    out[written++] = static_cast<std::uint8_t>(v >> 8);
    out[written++] = static_cast<std::uint8_t>(v);
    return written;
}

std::optional<SecretBytes> base64DecodeSecret(std::string_view text) {
    SecretBytes bytes(base64DecodedMaxLength(text.size()));
    auto length = base64Decode(text, bytes.data());
    if (!length) return std::nullopt;
    bytes.resize(*length);
    return bytes;
}

}  // namespace quorvane
