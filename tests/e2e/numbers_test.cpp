// Numbers of every shape through the request loop: every valid JSON number is accepted wherever
// it stands, `id` is the number only when its value is exactly an integer that fits a signed
// 64-bit integer, and text that is not a JSON number makes the line invalid. Also the nesting
// limit, the same for arrays and objects.
#include <gtest/gtest.h>

#include <string>

#include "support/helper_process.h"
#include "support/json.h"

namespace quorvane::testing {
namespace {

const std::string kInvalid = R"({"id":0,"ok":false,"error":"invalid json request"})";

// Sends each line to one helper and returns the replies after the readiness line.
std::vector<std::string> replies(const std::vector<std::string>& lines) {
    TempDir home;
    std::string input;
    for (const std::string& line : lines) input += line + "\n";
    RunResult result = runHelper({"--serve"}, input, {{"XDG_DATA_HOME", home.path()}});
    std::vector<std::string> out;
    std::size_t start = result.out.find('\n') + 1;
    while (start < result.out.size()) {
        std::size_t end = result.out.find('\n', start);
        out.push_back(result.out.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string unknown(const std::string& id) {
    return R"({"id":)" + id + R"(,"ok":false,"error":"unknown command: x"})";
}

TEST(NumbersTest, EveryValidNumberIsAcceptedAndIdIsReadExactly) {
    struct Case {
        std::string number;
        std::string id;  // the reply's id; empty when the line is not JSON
    };
    const Case cases[] = {
        // Integers at and beyond the 64-bit edges, both signs.
        {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"9223372036854775808", "0"},
        {"-9223372036854775809", "0"},
        {"-9999999999999999999", "0"},
        {"9999999999999999999", "0"},
        {"18446744073709551616", "0"},
        {"-18446744073709551616", "0"},
        {"-99999999999999999999", "0"},
        {"123456789012345678901234567890", "0"},
        // Zeros.
        {"0", "0"},
        {"-0", "0"},
        {"-0.0", "0"},
        {"0e99999999999999999999", "0"},
        {"0.000e-400", "0"},
        // Fractions and exponents whose value is an integer.
        {"7.0", "7"},
        {"70e-1", "7"},
        {"0.7E1", "7"},
        {"7e+0", "7"},
        {"1E2", "100"},
        {"-1e18", "-1000000000000000000"},
        {"9223372036854775807.0", "9223372036854775807"},
        {"92233720368547758.07e2", "9223372036854775807"},
        {"-9.223372036854775808e18", "-9223372036854775808"},
        {"9007199254740993.0", "9007199254740993"},
        {"100000000000000000000000e-23", "1"},
        // Values that are no such integer, however a double would round them.
        {"7.5", "0"},
        {"1.0000000000000000000000000001", "0"},
        {"9223372036854775807.5", "0"},
        {"9.223372036854775808e18", "0"},
        {"1e19", "0"},
        {"1e-400", "0"},
        {"1e400", "0"},
        {"-1e400", "0"},
        {"1e99999999999999999999", "0"},
        {"-1.5e-99999999999999999999", "0"},
        {"1.7976931348623159e308", "0"},
        // Not JSON numbers.
        {"01", ""},
        {"-01", ""},
        {"00", ""},
        {"1.", ""},
        {".5", ""},
        {"+1", ""},
        {"1e", ""},
        {"1e+", ""},
        {"-", ""},
        {"0x10", ""},
        {"1e400.5", ""},
        {"Infinity", ""},
        {"NaN", ""},
    };
    std::vector<std::string> lines;
    for (const Case& c : cases) {
        lines.push_back(R"({"id":)" + c.number + R"(,"cmd":"x"})");
        // The same number in another member, in an array and in an object.
        lines.push_back(R"({"id":3,"cmd":"x","n":[)" + c.number + R"(,{"m":)" + c.number + "}]}");
    }
    std::vector<std::string> got = replies(lines);
    ASSERT_EQ(got.size(), lines.size());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string& asId = got[2 * i];
        const std::string& elsewhere = got[2 * i + 1];
        if (c.id.empty()) {
            EXPECT_EQ(asId, kInvalid) << c.number;
            EXPECT_EQ(elsewhere, kInvalid) << c.number;
        } else {
            EXPECT_EQ(parseJson(asId), parseJson(unknown(c.id))) << c.number;
            EXPECT_EQ(parseJson(elsewhere), parseJson(unknown("3"))) << c.number;
        }
    }
}

TEST(NumbersTest, MembersHoldingBigNumbersAreJudgedByTheirCommand) {
    std::vector<std::string> got = replies({
        R"({"id":1,"cmd":"lock_session","sessionId":-9223372036854775809})",
        R"({"id":2,"cmd":"encrypt_lines","sessionId":"s","lines":[1e400]})",
        R"({"id":-9223372036854775809,"cmd":"create_session_from_secret","secret":1e400})",
    });
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(parseJson(got[0]),
              parseJson(R"({"id":1,"ok":false,"error":"lock_session missing sessionId"})"));
    EXPECT_EQ(parseJson(got[1]),
              parseJson(R"({"id":2,"ok":false,"error":"encrypt_lines missing parameters"})"));
    EXPECT_EQ(
        parseJson(got[2]),
        parseJson(
            R"({"id":0,"ok":false,"error":"create_session_from_secret missing or invalid secret"})"));
}

TEST(NumbersTest, NestingLimitIsTheSameForArraysAndObjects) {
    // `levels` counts the request object and every array or object inside it.
    auto arrays = [](int levels, const std::string& inner) {
        return R"({"cmd":"x","a":)" + std::string(levels - 2, '[') + inner +
               std::string(levels - 2, ']') + "}";
    };
    auto objects = [](int levels, const std::string& inner) {
        std::string line = R"({"cmd":"x","a":)";
        for (int i = 0; i < levels - 2; ++i) line += R"({"b":)";
        line += inner;
        for (int i = 0; i < levels - 2; ++i) line += "}";
        return line + "}";
    };
    const std::string accepted = unknown("0");
    struct Case {
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {arrays(1024, "[]"), accepted},          {arrays(1024, "[0]"), accepted},
        {arrays(1024, "{}"), accepted},          {arrays(1024, R"({"c":1})"), accepted},
        {objects(1024, "{}"), accepted},         {objects(1024, R"({"c":1})"), accepted},
        {objects(1024, "[]"), accepted},         {arrays(1025, "[]"), kInvalid},
        {arrays(1025, "[0]"), kInvalid},         {objects(1025, "{}"), kInvalid},
        {objects(1025, R"({"c":1})"), kInvalid}, {objects(1025, "[]"), kInvalid},
    };
    std::vector<std::string> lines;
    for (const Case& c : cases) lines.push_back(c.line);
    std::vector<std::string> got = replies(lines);
    ASSERT_EQ(got.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(parseJson(got[i]), parseJson(cases[i].reply)) << "case " << i;
    }
}

}  // namespace
}  // namespace quorvane::testing
