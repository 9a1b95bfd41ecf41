// The UTF-8 check against simdjson's validator, on every string of one and two bytes and every
// three- and four-byte string around the edges of the well-formed ranges, whole and cut in two.
#include "base/utf8.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

bool oracle(const std::string& text) { return simdjson::validate_utf8(text.data(), text.size()); }

bool inPieces(const std::string& text, std::size_t cut) {
    Utf8Check check;
    return check.feed(std::string_view(text).substr(0, cut)) &&
           check.feed(std::string_view(text).substr(cut)) && check.complete();
}

TEST(Utf8Test, AgreesWithAnIndependentValidator) {
    std::vector<std::string> texts;
    for (int a = 0; a < 256; ++a) {
        texts.push_back(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b) texts.push_back({static_cast<char>(a), static_cast<char>(b)});
    }
    // Continuation values at and beyond each range's edges.
    const int edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
    for (int lead = 0xc0; lead < 0x100; ++lead) {
        for (int b : edges) {
            for (int c : edges) {
                texts.push_back(
                    {static_cast<char>(lead), static_cast<char>(b), static_cast<char>(c)});
                for (int d : edges) {
                    texts.push_back({static_cast<char>(lead), static_cast<char>(b),
                                     static_cast<char>(c), static_cast<char>(d)});
                }
            }
        }
    }
    for (const std::string& text : texts) {
        bool expected = oracle(text);
        ASSERT_EQ(isValidUtf8(text), expected) << testing::PrintToString(text);
        // After five ASCII bytes, so the sequence straddles the first eight-byte step.
        std::string framed = "abcde" + text + "fghijklmnop";
        ASSERT_EQ(isValidUtf8(framed), expected) << testing::PrintToString(text);
        for (std::size_t cut = 0; cut <= framed.size(); ++cut) {
            ASSERT_EQ(inPieces(framed, cut), expected) << testing::PrintToString(text) << cut;
        }
    }
}

}  // namespace
}  // namespace quorvane
