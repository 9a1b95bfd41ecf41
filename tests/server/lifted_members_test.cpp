// Lifting long "data" strings out of the line before parsing must never change what a request
// means: the parser's verdict on the skeleton is its verdict on the whole line, and every member
// a command reads (through liftedText for the lifted ones) is what it would read from the whole
// line.
#include "server/lifted_members.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "server/request.h"

namespace quorvane {
namespace {

const std::string kBig(LiftedMembers::kMinString, 'A');
const std::string kFiller(LiftedMembers::kMinLine, ' ');

// membersAsCommandsSeeThem lists the members of `root` as commands read them: by name through
// Request (the last occurrence counts), strings through mutableString and liftedText. Strings show
// as their length and a hash, so a failure stays readable.
std::vector<std::string> membersAsCommandsSeeThem(simdjson::dom::element root) {
    simdjson::dom::object object;
    if (root.get_object().get(object) != simdjson::SUCCESS) return {"not an object"};
    Request request(object);
    std::vector<std::string> members;
    std::set<std::string> seen;
    for (auto field : object) {
        std::string name(field.key);
        if (!seen.insert(name).second) continue;
        std::string shown;
        if (auto text = request.mutableString(name)) {
            std::span<char> value = liftedText(*text);
            std::string_view view(value.data(), value.size());
            shown = std::to_string(view.size()) + " bytes #" +
                    std::to_string(std::hash<std::string_view>()(view));
        } else if (auto number = request.integer(name)) {
            shown = std::to_string(*number);
        } else {
            shown = "other";
        }
        members.push_back(name + "=" + shown);
    }
    return members;
}

struct Case {
    const char* what;
    std::string line;
    std::size_t lifted;  // how many strings are kept out of the parser
};

class LiftedMembersTest : public ::testing::TestWithParam<Case> {};

TEST_P(LiftedMembersTest, MeansWhatTheWholeLineMeans) {
    const Case& c = GetParam();
    std::string padded = c.line + std::string(simdjson::SIMDJSON_PADDING, '\0');

    simdjson::dom::parser wholeParser;
    simdjson::dom::element wholeRoot;
    bool wholeValid =
        wholeParser.parse(padded.data(), c.line.size(), false).get(wholeRoot) == simdjson::SUCCESS;

    LiftedMembers lifted;
    auto skeleton = lifted.lift({padded.data(), c.line.size()}, simdjson::SIMDJSON_PADDING);
    ASSERT_EQ(skeleton.has_value(), c.lifted > 0);
    if (!skeleton) return;
    EXPECT_EQ(skeleton->size(), c.line.size() - c.lifted * kBig.size() - (c.lifted > 1 ? 1 : 0));

    simdjson::dom::parser parser;
    simdjson::dom::element root;
    bool valid =
        parser.parse(skeleton->data(), skeleton->size(), false).get(root) == simdjson::SUCCESS;
    ASSERT_EQ(valid, wholeValid) << "the parser's verdict changed";
    if (!valid) return;
    ASSERT_TRUE(lifted.bind(root));
    std::vector<std::string> expected = membersAsCommandsSeeThem(wholeRoot);
    CurrentLiftedMembers scope(lifted);
    EXPECT_EQ(membersAsCommandsSeeThem(root), expected);
}

// A long line: a request whose other members (`members`) come before a filler member long
// enough for lifting to be considered.
std::string line(const std::string& members) {
    return "{" + members + ",\"f\":\"" + kFiller + "\"}";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LiftedMembersTest,
    ::testing::Values(
        Case{"payload",
             line(R"("id":3,"cmd":"encrypt_bytes","sessionId":"s","data":")" + kBig + "\""), 1},
        Case{"payload last, spaces around",
             " \t{ \"f\":\"" + kFiller + "\", \"data\" :\r\n\"" + kBig + "\" } \n", 1},
        Case{"two data members", line("\"data\":\"" + kBig + "\",\"data\":\"" + kBig + "B\""), 2},
        Case{"a short data member after a long one",
             line("\"data\":\"" + kBig + "\",\"data\":\"x\""), 1},
        Case{"a data member not a string",
             line("\"data\":\"" + kBig + "\",\"data\":[\"" + kBig + "\"]"), 1},
        Case{"too short to lift", line("\"data\":\"" + kBig.substr(1) + "\""), 0},
        Case{"too short a line", "{\"data\":\"" + kBig + "\"}", 0},
        Case{"an escaped slash", line("\"data\":\"" + kBig + "\\/\""), 0},
        Case{"a control character", line("\"data\":\"" + kBig + "\t\""), 0},
        Case{"beyond ASCII", line("\"data\":\"" + kBig + "\xc3\xa9\""), 0},
        Case{"invalid UTF-8", line("\"data\":\"" + kBig + "\xc3\""), 0},
        Case{"an escaped key", line("\"d\\u0061ta\":\"" + kBig + "\""), 0},
        Case{"nested", line("\"x\":{\"data\":\"" + kBig + "\"}"), 0},
        Case{"data as a value", line("\"x\":\"data\",\"y\":\"" + kBig + "\""), 0},
        Case{"in an array", "[\"data\",\"" + kBig + "\",\"" + kFiller + "\"]", 0},
        Case{"a backslash outside strings", line("\"data\":\"" + kBig + "\",\\\"g\":1"), 0},
        Case{"unterminated", "{\"data\":\"" + kBig + kFiller, 0},
        Case{"unclosed object", "{\"data\":\"" + kBig + "\"," + kFiller, 0},
        Case{"a second document", line("\"data\":\"" + kBig + "\"") + "{}", 1},
        Case{"a missing comma", line("\"data\":\"" + kBig + "\" \"id\":1"), 1},
        Case{"a key without value", line("\"data\":\"" + kBig + "\",\"id\""), 1},
        Case{"an integer beyond 64 bits",
             line("\"id\":123456789012345678901234567890,\"data\":\"" + kBig + "\""), 1}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name;
        for (char c : std::string(info.param.what))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(FirstStringSpecialTest, VectorAndPortableFormsAgree) {
    std::mt19937 random(7);
    const char specials[] = {'"', '\\', '\x01', '\x1f', '\x7f', '\x80', '\xff', ' ', '~'};
    for (std::size_t size : {0u, 1u, 7u, 8u, 15u, 16u, 63u, 64u, 65u, 200u}) {
        for (std::size_t at = 0; at <= size; ++at) {
            for (char special : specials) {
                std::string text(size, 'Q');
                for (char& c : text) c = static_cast<char>('A' + random() % 26);
                if (at < size) text[at] = special;
                for (bool strict : {false, true}) {
                    std::size_t expected = size;
                    for (std::size_t i = 0; i < size; ++i) {
                        auto byte = static_cast<unsigned char>(text[i]);
                        if (text[i] == '"' || text[i] == '\\' ||
                            (strict && (byte < 0x20 || byte >= 0x80))) {
                            expected = i;
                            break;
                        }
                    }
                    ASSERT_EQ(firstStringSpecial(text.data(), size, strict), expected)
                        << size << " " << at;
                    ASSERT_EQ(firstStringSpecialPortable(text.data(), size, strict), expected)
                        << size << " " << at;
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorvane
