// The strict base64 reader on any text: it must never write beyond base64DecodedMaxLength, must
// accept exactly the texts of RFC 4648's standard alphabet with "=" padding (no whitespace, no
// missing or misplaced padding), must agree with its portable form and with itself decoding in
// place, and must round-trip with the writer, whose vector, portable and two-part forms agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/base64.h"

namespace {

bool inAlphabet(char c) {
    return ('A' <= c && c <= 'Z') || ('a' <= c && c <= 'z') || ('0' <= c && c <= '9') || c == '+' ||
           c == '/';
}

// Whether a strict reader accepts `text`, written from the format rather than the code.
bool wellFormed(std::string_view text) {
    if (text.size() % 4 != 0) return false;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        if (!inAlphabet(text[i])) return false;
    }
    return true;
}

using Decoder = std::optional<std::size_t> (*)(std::string_view, std::uint8_t*);

std::optional<std::vector<std::uint8_t>> decode(std::string_view text,
                                                Decoder decoder = quorvane::base64Decode) {
    // Exactly the promised room, so AddressSanitizer catches a write past it.
    std::vector<std::uint8_t> out(quorvane::base64DecodedMaxLength(text.size()));
    auto length = decoder(text, out.data());
    if (!length) return std::nullopt;
    if (*length > out.size()) std::abort();
    out.resize(*length);
    return out;
}

// Decoding into the text's own storage, as the payload commands do.
std::optional<std::vector<std::uint8_t>> decodeInPlace(std::string_view text) {
    std::vector<char> storage(text.begin(), text.end());
    auto* out = reinterpret_cast<std::uint8_t*>(storage.data());
    auto length = quorvane::base64Decode({storage.data(), storage.size()}, out);
    if (!length) return std::nullopt;
    return std::vector<std::uint8_t>(out, out + *length);
}

std::string encode(std::span<const std::uint8_t> bytes,
                   void (*encoder)(std::span<const std::uint8_t>, char*)) {
    std::string text(quorvane::base64EncodedLength(bytes.size()), '\0');
    encoder(bytes, text.data());
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto decoded = decode(text);
    if (decoded.has_value() != wellFormed(text)) std::abort();
    if (decode(text, quorvane::base64DecodeScalar) != decoded) std::abort();
    if (decodeInPlace(text) != decoded) std::abort();
    if (decoded) {
        std::size_t padding =
            text.empty() ? 0 : (text.back() == '=') + (text[text.size() - 2] == '=');
        if (decoded->size() != text.size() / 4 * 3 - padding) std::abort();
        // Re-encoding gives a text that reads back to the same bytes (it may differ from the input
        // only in the unused low bits of the last character before the padding).
        auto again = decode(quorvane::base64Encode(*decoded));
        if (!again || *again != *decoded) std::abort();
        auto secret = quorvane::base64DecodeSecret(text);
        if (!secret || secret->size() != decoded->size() ||
            (!decoded->empty() &&
             std::memcmp(secret->data(), decoded->data(), decoded->size()) != 0)) {
            std::abort();
        }
    } else if (quorvane::base64DecodeSecret(text)) {
        std::abort();
    }

    // Any bytes written as base64 read back unchanged, whichever form of the writer wrote them.
    std::span<const std::uint8_t> bytes(data, size);
    std::string encoded = encode(bytes, quorvane::base64Encode);
    if (encode(bytes, quorvane::base64EncodeScalar) != encoded) std::abort();
    std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    std::string joined(encoded.size(), '\0');
    quorvane::base64Encode(bytes.first(split), bytes.subspan(split), joined.data());
    if (joined != encoded) std::abort();
    // The text a reply writes is the same with each '/' escaped, within twice its length.
    std::string escaped;
    for (char c : encoded) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    std::string written(2 * encoded.size(), '\0');
    written.resize(
        quorvane::base64EncodeEscaped(bytes.first(split), bytes.subspan(split), written.data()));
    if (written != escaped) std::abort();
    auto back = decode(encoded);
    if (!back || back->size() != size ||
        (size != 0 && std::memcmp(back->data(), data, size) != 0)) {
        std::abort();
    }
    return 0;
}
