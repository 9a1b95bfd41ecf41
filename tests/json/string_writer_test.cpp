// The reply string writer against a plain byte-by-byte reference: the vectorised scan must give
// the same bytes at every length and wherever the characters to escape fall.
#include "json/string_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorvane::json {
namespace {

std::string reference(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20) {
                    char u[7];
                    std::snprintf(u, sizeof u, "\\u%04x", c);
                    out += u;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

// Random text over `alphabet`, of every length up to past two vector widths and a few longer.
std::vector<std::string> texts(std::string_view alphabet, std::mt19937& random) {
    std::vector<std::string> out;
    for (std::size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 64, 100, 1000, 4099}) {
        for (int round = 0; round < 20; ++round) {
            std::string text(length, '\0');
            for (char& c : text) c = alphabet[random() % alphabet.size()];
            out.push_back(std::move(text));
        }
    }
    return out;
}

TEST(StringWriterTest, AnyTextMatchesTheReference) {
    std::mt19937 random(12);
    std::string alphabet = "ab\"\\/\n\r\t\b\f\x01\x1f \x7f\xc3\xa9\xff";
    alphabet += '\0';
    for (const std::string& text : texts(alphabet, random)) {
        std::string expected = reference(text);
        ASSERT_EQ(escapedLength(text), expected.size());
        std::vector<char> out(expected.size());
        writeEscaped(text, out.data());
        ASSERT_EQ(std::string(out.begin(), out.end()), expected);
    }
}

}  // namespace
}  // namespace quorvane::json
