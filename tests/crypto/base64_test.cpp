#include "crypto/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/hex.h"

namespace quorvane {
namespace {

TEST(Base64Test, EncodesRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size());
        EXPECT_EQ(base64Encode(bytes), encoded);
        auto decoded = base64DecodeSecret(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(decoded->view(), plain);
    }
}

TEST(Base64Test, RejectsAnythingButStrictPaddedText) {
    const char* invalid[] = {
        "Zg",     "Zg=",      "Zm9vYg=", "Zg==Zg==", "=Zg=",  "Z===", "Zm9 v", " Zm9v",
        "Zm9v\n", "Zm9v\r\n", "Zm-v",    "Zm_v",     "Zm9v=", "Zg=a", "Zm\tv", "Z\xc3\xa9v",
    };
    for (const char* text : invalid) {
        EXPECT_FALSE(base64DecodeSecret(text)) << "text: " << text;
    }
}

TEST(Base64Test, RoundTripsEveryByteValue) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    for (std::size_t length = 0; length <= all.size(); ++length) {
        std::span<const std::uint8_t> part(all.data(), length);
        std::string text = base64Encode(part);
        ASSERT_EQ(text.size(), base64EncodedLength(length));
        auto decoded = base64DecodeSecret(text);
        ASSERT_TRUE(decoded);
        ASSERT_EQ(dataHex(decoded->span()), dataHex(part));
    }
}

}  // namespace
}  // namespace quorvane

namespace quorvane {
namespace {

std::string solidusEscaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '/' ? std::string("\\/") : std::string(1, c);
    return out;
}

// The vector kernels must agree with the scalar code on every length and on where invalid
// input is refused, including invalid characters deep inside the vectorised region. The escaped
// text must be the plain text with each '/' escaped, written within twice the plain length.
TEST(Base64Test, VectorPathMatchesScalarPath) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length < 700; length += (length < 100 ? 1 : 37)) {
        Bytes data(length);
        // Every other length is dense in 0xff, whose text is mostly '/'.
        for (auto& byte : data)
            byte = static_cast<std::uint8_t>(length % 2 && random() % 3 ? 0xff : random());
        std::string scalar(base64EncodedLength(length), '\0');
        base64EncodeScalar(data, scalar.data());
        ASSERT_EQ(base64Encode(data), scalar) << "length " << length;
        std::vector<char> escaped(2 * scalar.size());
        std::size_t written = base64EncodeEscaped(data, escaped.data());
        ASSERT_EQ(std::string(escaped.data(), written), solidusEscaped(scalar))
            << "length " << length;

        Bytes decoded(base64DecodedMaxLength(scalar.size()) + 8);
        auto n = base64Decode(scalar, decoded.data());
        ASSERT_TRUE(n);
        ASSERT_EQ(Bytes(decoded.begin(), decoded.begin() + static_cast<long>(*n)), data);

        // In place, as the payload commands decode.
        std::string inPlace = scalar;
        auto m = base64Decode(inPlace, reinterpret_cast<std::uint8_t*>(inPlace.data()));
        ASSERT_TRUE(m);
        ASSERT_EQ(Bytes(inPlace.begin(), inPlace.begin() + static_cast<long>(*m)), data);

        if (scalar.empty()) continue;
        for (char bad : {' ', '=', '-', '\n', '\x80', '\0'}) {
            std::string broken = scalar;
            broken[random() % broken.size()] = bad;
            Bytes out1(decoded.size()), out2(decoded.size());
            bool vector = base64Decode(broken, out1.data()).has_value();
            bool plain = base64DecodeScalar(broken, out2.data()).has_value();
            ASSERT_EQ(vector, plain) << "length " << length << " char " << int(bad);
        }
    }
}

}  // namespace
}  // namespace quorvane

namespace quorvane {
namespace {

// A long text made slice by slice (as a bulk reply is sent) must be the whole text, wherever the
// slices and the joint between the two parts fall, including inside a group and in the padding.
TEST(Base64Test, SlicesMakeTheWholeText) {
    std::mt19937 random(11);
    for (std::size_t length : {0u, 1u, 2u, 3u, 28u, 29u, 30u, 100u, 301u}) {
        Bytes data(length);
        for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
        std::string whole = base64Encode(data);
        for (std::size_t joint = 0; joint <= length; joint += (length < 40 ? 1 : 7)) {
            std::span<const std::uint8_t> first(data.data(), joint);
            std::span<const std::uint8_t> second(data.data() + joint, length - joint);
            for (std::size_t piece : {4u, 8u, 12u, 64u, 400u}) {
                std::string made(whole.size(), '?');
                std::string escaped;
                for (std::size_t offset = 0; offset < whole.size(); offset += piece) {
                    std::size_t count = std::min(piece, whole.size() - offset);
                    base64EncodeSlice(first, second, offset, count, made.data() + offset);
                    std::vector<char> out(2 * count);
                    std::size_t written =
                        base64EncodeSliceEscaped(first, second, offset, count, out.data());
                    escaped.append(out.data(), written);
                }
                ASSERT_EQ(made, whole)
                    << "length " << length << " joint " << joint << " piece " << piece;
                ASSERT_EQ(escaped, solidusEscaped(whole))
                    << "length " << length << " joint " << joint << " piece " << piece;
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
