#include "crypto/base64.h"

#include <gtest/gtest.h>

#include "crypto/hex.h"

namespace quorvane {
namespace {

TEST(Base64Test, EncodesRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
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
        "Zg",      "Zg=",    "Zm9vYg=", "Zg==Zg==", "=Zg=",  "Z===",  "Zm9 v",  " Zm9v",
        "Zm9v\n",  "Zm9v\r\n", "Zm-v",  "Zm_v",     "Zm9v=", "Zg=a", "Zm\tv", "Z\xc3\xa9v",
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
