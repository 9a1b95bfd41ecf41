// The request loop as the application sees it: readiness, framing, envelopes, shutdown.
#include <gtest/gtest.h>

#include "support/helper_process.h"
#include "support/json.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

const std::string kReady = R"({"ready":true})";

// Runs a whole conversation and returns every reply line after the readiness line.
std::vector<std::string> converse(const std::string& input, int* status = nullptr) {
    TempDir home;
    RunResult result = runHelper({"--serve"}, input, {{"XDG_DATA_HOME", home.path()}});
    if (status) *status = result.status;
    EXPECT_EQ(result.err, "") << "the request server never writes to standard error";
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < result.out.size()) {
        std::size_t end = result.out.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "every reply ends with a line feed";
        if (end == std::string::npos) break;
        lines.push_back(result.out.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
        EXPECT_EQ(lines.front(), kReady);
        lines.erase(lines.begin());
    }
    return lines;
}

TEST(FramingTest, AnswersEachLineWithOneReplyInOrder) {
    struct Case {
        std::string line;
        std::string reply;
    };
    const Case cases[] = {
        {"", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"[]", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {R"("cmd")", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"42", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"null", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {R"({"id":1,"cmd":"shutdown"} {})",
         R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {R"({"id":1,"cmd":"shutdown",})", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"{\"id\":5,\"cmd\":\"\xff\"}", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"{\"id\":5,\"cmd\":\"a\0b\"}", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {R"({"id":5,"cmd":"\ud800"})", R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {"{}", R"({"id":0,"ok":false,"error":"unknown command: "})"},
        {R"({"id":7,"cmd":"Shutdown"})",
         R"({"id":7,"ok":false,"error":"unknown command: Shutdown"})"},
        {R"({"id":7.0,"cmd":7})", R"({"id":7,"ok":false,"error":"unknown command: "})"},
        {R"({"id":7.5,"cmd":"x"})", R"({"id":0,"ok":false,"error":"unknown command: x"})"},
        {R"({"id":"7","cmd":"x"})", R"({"id":0,"ok":false,"error":"unknown command: x"})"},
        {R"({"id":-9223372036854775808,"cmd":"x"})",
         R"({"id":-9223372036854775808,"ok":false,"error":"unknown command: x"})"},
        {R"({"id":9223372036854775808,"cmd":"x"})",
         R"({"id":0,"ok":false,"error":"unknown command: x"})"},
        // Integers beyond 64 bits are valid JSON: the request is still answered as an object.
        {R"({"id":18446744073709551616,"cmd":"x"})",
         R"({"id":0,"ok":false,"error":"unknown command: x"})"},
        {R"({"cmd":"123456789012345678901234","id":-100000000000000000000000,"n":[1e5,-0.5]})",
         R"({"id":0,"ok":false,"error":"unknown command: 123456789012345678901234"})"},
        {R"({"id":01,"n":100000000000000000000000,"cmd":"x"})",
         R"({"id":0,"ok":false,"error":"invalid json request"})"},
        {R"({"id":1e3,"cmd":"a/b"})", R"({"id":1000,"ok":false,"error":"unknown command: a\/b"})"},
        {R"({"id":2,"cmd":"\"\u00e9\n"})",
         R"({"id":2,"ok":false,"error":"unknown command: \"é\n"})"},
        {R"({"id":3,"id":4,"cmd":"x"})", R"({"id":4,"ok":false,"error":"unknown command: x"})"},
    };
    std::string input;
    for (const Case& c : cases) input += c.line + "\n";
    auto replies = converse(input);
    ASSERT_EQ(replies.size(), std::size(cases));
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(parseJson(replies[i]), parseJson(cases[i].reply)) << "line: " << cases[i].line;
    }
}

TEST(FramingTest, WritesSolidusEscapedAndRepliesCompactly) {
    auto replies = converse("{\"id\":1,\"cmd\":\"a/b\"}\n");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], R"({"id":1,"ok":false,"error":"unknown command: a\/b"})");
}

TEST(FramingTest, AcceptsCrlfAndAFinalLineWithoutTerminator) {
    int status = -1;
    auto replies = converse("{\"id\":1,\"cmd\":\"x\"}\r\n{\"id\":2,\"cmd\":\"y\"}", &status);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(parseJson(replies[0])["id"].integer(), 1);
    EXPECT_EQ(parseJson(replies[1])["id"].integer(), 2);
    EXPECT_EQ(status, 0);
}

TEST(FramingTest, ShutdownAnswersThenDropsTheNextLine) {
    int status = -1;
    auto replies = converse(
        "{\"id\":9,\"cmd\":\"shutdown\",\"extra\":[1]}\n{\"id\":10,\"cmd\":\"x\"}\n"
        "{\"id\":11,\"cmd\":\"x\"}\n",
        &status);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(parseJson(replies[0]), parseJson(R"({"id":9,"ok":true})"));
    EXPECT_EQ(status, 0);

    replies = converse("{\"id\":9,\"cmd\":\"shutdown\"}\n", &status);
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(status, 0);

    replies = converse("", &status);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(status, 0);
}

TEST(FramingTest, WritesReadinessBeforeAnyInputAndFlushesEachReply) {
    ServeSession session;  // checks the readiness line with input still open
    // Each reply arrives while the pipe stays open: nothing waits for more input.
    EXPECT_EQ(session.error(R"({"id":1,"cmd":"nope"})"), "unknown command: nope");
    EXPECT_EQ(session.error(R"({"id":2,"cmd":"nope"})"), "unknown command: nope");
}

TEST(FramingTest, SurvivesHostileLines) {
    const std::string invalid = R"({"id":0,"ok":false,"error":"invalid json request"})";
    ServeSession session;
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary.push_back(static_cast<char>(i % 256 == '\n' ? 0 : i % 256));
    const std::string hostile[] = {
        std::string(1000000, '['),
        std::string(1000000, '[') + std::string(1000000, ']'),
        "{\"a\":" + std::string(100000, '{'),
        binary,
        std::string(100 * 1024 * 1024, 'x'),
        "{\"cmd\":\"encrypt_lines\",\"lines\":[\"" + std::string(8 * 1024 * 1024, 'a'),
    };
    for (const std::string& line : hostile) {
        EXPECT_EQ(session.call(line), parseJson(invalid)) << "line of " << line.size() << " bytes";
    }
    // Still serving, state intact.
    std::string sessionId = session.createSession();
    EXPECT_EQ(session
                  .ok(R"({"id":3,"cmd":"encrypt_lines","sessionId":")" + sessionId +
                      R"(","lines":[]})")["lines"]
                  .array()
                  .size(),
              0u);
}

}  // namespace
}  // namespace quorvane::testing
