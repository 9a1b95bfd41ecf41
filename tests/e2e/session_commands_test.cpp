// Opening, using and closing sessions through the binary, and the mode each command demands.
#include <gtest/gtest.h>

#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

const std::string kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::string request(const std::string& cmd, const std::string& members) {
    return R"({"id":1,"cmd":")" + cmd + "\"" + (members.empty() ? "" : "," + members) + "}";
}

TEST(SessionCommandsTest, CreateSessionIssuesDistinctLowercaseIdentifiers) {
    ServeSession session;
    Json first = session.ok(R"({"id":4,"cmd":"create_session","secret":"ignored"})");
    EXPECT_EQ(first.object().size(), 3u);
    EXPECT_EQ(first["id"].integer(), 4);
    std::string a = first["sessionId"].str();
    std::string b = session.createSession();
    EXPECT_NE(a, b);
    for (const std::string& id : {a, b}) {
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
        session.ok(request("encrypt_lines", R"("sessionId":")" + id + R"(","lines":["x"])"));
    }
}

TEST(SessionCommandsTest, CreateSessionFromSecretTakesExactly32HexBytes) {
    ServeSession session;
    const std::string invalid = "create_session_from_secret missing or invalid secret";
    const std::string secrets[] = {
        "\"" + kKey.substr(0, 62) + "\"",
        "\"" + kKey + "00\"",
        "\"" + kKey.substr(1) + "\"",
        "\"" + kKey.substr(0, 63) + "g\"",
        "12",
        "null",
        "[\"" + kKey + "\"]",
    };
    for (const std::string& secret : secrets) {
        EXPECT_EQ(session.error(request("create_session_from_secret", "\"secret\":" + secret)),
                  invalid)
            << secret;
    }
    EXPECT_EQ(session.error(request("create_session_from_secret", "")), invalid);

    // Upper case and "+x" pairs are hex too; the key is exactly the decoded bytes, so a line
    // sealed under one session opens under the other.
    std::string upper = session.createSessionFromSecret(
        "+0+1+2+3+4+5+6+7+8+9+a+b+c+d+e+f101112131415161718191A1B1C1D1E1F");
    std::string lower = session.createSessionFromSecret(kKey);
    Json sealed =
        session.ok(request("encrypt_lines", R"("sessionId":")" + upper + R"(","lines":["hi"])"));
    Json opened =
        session.ok(request("decrypt_lines", R"("sessionId":")" + lower + R"(","lines":[")" +
                                                sealed["lines"].strings()[0] + "\"]"));
    EXPECT_EQ(opened["lines"].strings(), std::vector<std::string>{"hi"});
}

TEST(SessionCommandsTest, LockSessionForgetsTheSessionAndIsIdempotent) {
    ServeSession session;
    std::string id = session.createSession();
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(
        session.error(request("encrypt_lines", R"("sessionId":")" + upper + R"(","lines":[])")),
        "vault session missing");

    for (const std::string& target : {id, id, std::string("never-issued"), std::string("")}) {
        Json reply = session.ok(request("lock_session", R"("sessionId":")" + target + "\""));
        EXPECT_EQ(reply.object().size(), 2u);
    }
    EXPECT_EQ(session.error(request("encrypt_lines", R"("sessionId":")" + id + R"(","lines":[])")),
              "vault session missing");
    for (const std::string& bad : {std::string("1"), std::string("null"), std::string("{}")}) {
        EXPECT_EQ(session.error(request("lock_session", "\"sessionId\":" + bad)),
                  "lock_session missing sessionId");
    }
    EXPECT_EQ(session.error(request("lock_session", "")), "lock_session missing sessionId");
}

TEST(SessionCommandsTest, CaptureSessionsMayOnlyAddAndUseState) {
    ServeSession session;
    // A capture session is opened by unwrapping; a cheap legacy wrap keeps this quick.
    std::string full = session.createSessionFromSecret(kKey);
    Json wrapped =
        session.ok(request("wrap_secret", R"("sessionId":")" + full + R"(","secret":"pw")"));
    std::string capture =
        session
            .ok(request("unwrap_secret_capture", R"("secret":"pw","salt":")" +
                                                     wrapped["salt"].str() + R"(","blob":")" +
                                                     wrapped["blob"].str() + "\""))["sessionId"]
            .str();
    const std::string id = R"("sessionId":")" + capture + "\"";
    std::string line =
        session.ok(request("encrypt_lines", id + R"(,"lines":["x"])"))["lines"].strings()[0];
    std::string data = session.ok(request("encrypt_bytes", id + R"(,"data":"AAE=")"))["data"].str();
    std::string state = session.ok(request("encrypt_state", id + R"(,"line":"s")"))["line"].str();
    EXPECT_EQ(
        session.ok(request("decrypt_state", id + R"(,"line":")" + state + "\""))["line"].str(),
        "s");

    const std::string refused[] = {
        request("decrypt_lines", id + R"(,"lines":[")" + line + "\"]"),
        request("decrypt_bytes", id + R"(,"data":")" + data + "\""),
        request("wrap_secret", id + R"(,"secret":"pw")"),
        request("wrap_touchid", id),
    };
    for (const std::string& line : refused) {
        EXPECT_EQ(session.error(line), "vault session is capture-only") << line;
    }
    // What the capture session sealed, the full session reads.
    EXPECT_EQ(session
                  .ok(request("decrypt_lines", R"("sessionId":")" + full + R"(","lines":[")" +
                                                   line + "\"]"))["lines"]
                  .strings(),
              std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace quorvane::testing
