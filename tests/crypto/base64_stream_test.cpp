// A base64 text read in pieces decodes exactly as the whole text does, wherever the pieces end:
// the same bytes, the same refusals, and nothing of a refused text left behind.
#include "crypto/base64_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/base64.h"

namespace quorvane {
namespace {

std::string decodedOrInvalid(std::string_view text) {
    std::string out(base64DecodedMaxLength(text.size()), '\0');
    auto length = base64Decode(text, reinterpret_cast<std::uint8_t*>(out.data()));
    return length ? out.substr(0, *length) : "<invalid>";
}

TEST(Base64StreamTest, PiecesDecodeAsTheWholeText) {
    std::mt19937 random(11);
    std::vector<std::uint8_t> bytes(200000);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    std::string longText = base64Encode(bytes);
    auto with = [&](std::size_t at, char c) {
        std::string text = longText;
        text[at] = c;
        return text;
    };
    const std::string texts[] = {
        "",
        "AA==",
        "AAE=",
        "AAEC",
        "AAECAw==",
        "AA=A",
        "AA==AAAA",
        "AAA",
        "AA-_",
        "A===",
        "=AAA",
        "AAAA=",
        longText,
        with(100000, '='),
        with(100003, '='),
        with(longText.size() - 3, '*'),
        longText + "A",
        longText.substr(0, longText.size() - 1),
    };
    for (const std::string& text : texts) {
        std::string expected = decodedOrInvalid(text);
        for (std::size_t most : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{300},
                                 std::size_t{100000}}) {
            SecretBytes out = SecretBytes::copyOf(std::string_view("xy"));
            Base64Stream stream;
            stream.begin(out);
            std::string_view rest = text;
            while (!rest.empty()) {
                std::size_t size = most == 0 ? rest.size() : 1 + random() % most;
                stream.append(rest.substr(0, size));
                rest.remove_prefix(std::min(size, rest.size()));
            }
            bool valid = stream.finish();
            std::string got(out.view().substr(2));
            EXPECT_EQ(valid ? got : "<invalid>", expected)
                << text.substr(0, 20) << " in pieces of up to " << most;
            EXPECT_EQ(out.view().substr(0, 2), "xy");
            if (!valid) {
                EXPECT_EQ(out.size(), 2u) << "a refused text leaves nothing";
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
