// Lines, byte payloads and state lines through the binary: round trips, sizes, and every error
// text in the order the checks run.
#include <gtest/gtest.h>

#include "crypto/base64.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

const std::string kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kOtherKey = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

class PayloadCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { id_ = session_.createSessionFromSecret(kKey); }

    std::string call(const std::string& cmd, const std::string& members, const std::string& sessionId) {
        return R"({"id":1,"cmd":")" + cmd + R"(","sessionId":")" + sessionId + "\"" + members + "}";
    }
    std::vector<std::string> encryptLines(const std::string& linesJson, const std::string& sid = "") {
        return session_.ok(call("encrypt_lines", ",\"lines\":" + linesJson, sid.empty() ? id_ : sid))
            ["lines"].strings();
    }
    Json decryptLines(const std::vector<std::string>& lines) {
        std::string json = "[";
        for (const auto& line : lines) json += (json.size() > 1 ? "," : "") + quoted(line);
        return session_.call(call("decrypt_lines", ",\"lines\":" + json + "]", id_));
    }
    std::string sealBytes(const std::string& data) {
        return session_.ok(call("encrypt_bytes", R"(,"data":")" + data + "\"", id_))["data"].str();
    }
    std::string sealState(const std::string& line) {
        return session_.ok(call("encrypt_state", ",\"line\":" + quoted(line), id_))["line"].str();
    }

    ServeSession session_;
    std::string id_;
};

TEST_F(PayloadCommandsTest, LinesRoundTripByteForByte) {
    auto sealed = encryptLines(R"(["", "a", "a", "h\u00e9llo \ud83d\udd11 \/ \"q\" \n\t\u0000 end"])");
    ASSERT_EQ(sealed.size(), 4u);
    EXPECT_EQ(sealed[0].size(), 40u);
    EXPECT_EQ(sealed[0].substr(38), "==");
    EXPECT_NE(sealed[1], sealed[2]) << "every line gets a fresh nonce";
    Json opened = decryptLines(sealed);
    ASSERT_TRUE(opened["ok"].boolean());
    using namespace std::string_literals;
    EXPECT_EQ(opened["lines"].strings(),
              (std::vector<std::string>{"", "a", "a", "h\xc3\xa9llo \xf0\x9f\x94\x91 / \"q\" \n\t\0 end"s}));
    EXPECT_EQ(encryptLines("[]"), std::vector<std::string>{});
}

TEST_F(PayloadCommandsTest, LineErrorsComeInCheckOrder) {
    std::string good = encryptLines(R"(["x"])")[0];
    std::string foreignId = session_.createSessionFromSecret(kOtherKey);
    std::string foreign = encryptLines(R"(["x"])", foreignId)[0];
    std::string state = sealState("x");
    std::string notUtf8 = sealBytes("/w==");  // the single byte 0xff

    struct Case {
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        {R"({"cmd":"encrypt_lines","sessionId":"nope","lines":["a",1]})", "encrypt_lines missing parameters"},
        {R"({"cmd":"encrypt_lines","sessionId":"nope","lines":"a"})", "encrypt_lines missing parameters"},
        {R"({"cmd":"encrypt_lines","lines":["a"]})", "encrypt_lines missing parameters"},
        {R"({"cmd":"decrypt_lines","sessionId":"nope","lines":[null]})", "decrypt_lines missing parameters"},
        {R"({"cmd":"decrypt_lines","sessionId":7,"lines":[]})", "decrypt_lines missing parameters"},
        {R"({"cmd":"encrypt_lines","sessionId":"nope","lines":[]})", "vault session missing"},
        {R"({"cmd":"decrypt_lines","sessionId":"nope","lines":["%%%"]})", "vault session missing"},
        {call("decrypt_lines", R"(,"lines":[""])", id_), "ciphertext too short"},
        {call("decrypt_lines", R"(,"lines":["AAAA AAA="])", id_), "invalid ciphertext"},
        {call("decrypt_lines", R"(,"lines":["AAAA\nAAA="])", id_), "invalid ciphertext"},
        {call("decrypt_lines", R"(,"lines":["AAAA"])", id_), "ciphertext too short"},
        {call("decrypt_lines", ",\"lines\":[\"" + good + "\",\"" + foreign + "\",\"%\"]", id_),
         "aes-gcm authentication failed"},
        {call("decrypt_lines", ",\"lines\":[\"" + good + "\",\"%\",\"" + foreign + "\"]", id_),
         "invalid ciphertext"},
        {call("decrypt_lines", ",\"lines\":[\"" + state + "\"]", id_), "aes-gcm authentication failed"},
        {call("decrypt_lines", ",\"lines\":[\"" + notUtf8 + "\"]", id_), "invalid utf8 plaintext"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_.error(c.request), c.error) << c.request;
}

TEST_F(PayloadCommandsTest, BytesRoundTripEveryByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::string data = base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(all.data()), all.size()));
    std::string first = sealBytes(data);
    EXPECT_NE(first, sealBytes(data));
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + first + "\"", id_))["data"].str(), data);

    std::string empty = sealBytes("");
    EXPECT_EQ(empty.size(), 40u);
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + empty + "\"", id_))["data"].str(), "");

    // Lines and payloads share key and form: each opens through the other.
    std::string line = encryptLines(R"(["text"])")[0];
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + line + "\"", id_))["data"].str(), "dGV4dA==");
    EXPECT_EQ(decryptLines({sealBytes("dGV4dA==")})["lines"].strings(), std::vector<std::string>{"text"});
}

TEST_F(PayloadCommandsTest, ByteErrorsComeInCheckOrder) {
    struct Case {
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        {R"({"cmd":"encrypt_bytes","sessionId":"nope","data":1})", "encrypt_bytes missing parameters"},
        {R"({"cmd":"decrypt_bytes","sessionId":"nope","data":[]})", "decrypt_bytes missing parameters"},
        {R"({"cmd":"encrypt_bytes","data":""})", "encrypt_bytes missing parameters"},
        {R"({"cmd":"encrypt_bytes","sessionId":"nope","data":"%"})", "vault session missing"},
        {R"({"cmd":"decrypt_bytes","sessionId":"nope","data":"%"})", "vault session missing"},
        {call("encrypt_bytes", R"(,"data":"AA AA")", id_), "invalid base64 data"},
        {call("encrypt_bytes", R"(,"data":"AA-_")", id_), "invalid base64 data"},
        {call("encrypt_bytes", R"(,"data":"AAA")", id_), "invalid base64 data"},
        {call("decrypt_bytes", R"(,"data":"AAAA\n")", id_), "invalid base64 data"},
        {call("decrypt_bytes", R"(,"data":"")", id_), "ciphertext too short"},
        {call("decrypt_bytes", ",\"data\":\"" + sealState("x") + "\"", id_), "aes-gcm authentication failed"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_.error(c.request), c.error) << c.request;
}

TEST_F(PayloadCommandsTest, StateLinesUseTheirOwnKey) {
    std::string sealed = sealState("");
    EXPECT_EQ(sealed.size(), 40u);
    EXPECT_NE(sealState("s"), sealState("s"));
    // Another session over the same vault key reads it: the state key depends on the key alone.
    std::string twin = session_.createSessionFromSecret(kKey);
    EXPECT_EQ(session_.ok(call("decrypt_state", ",\"line\":\"" + sealState("\u00e9/x") + "\"", twin))["line"].str(),
              "\xc3\xa9/x");

    struct Case {
        std::string request;
        std::string error;
    };
    std::string line = encryptLines(R"(["x"])")[0];
    const Case cases[] = {
        {R"({"cmd":"encrypt_state","sessionId":"nope","line":1})", "encrypt_state missing parameters"},
        {R"({"cmd":"decrypt_state","sessionId":"nope"})", "decrypt_state missing parameters"},
        {R"({"cmd":"decrypt_state","sessionId":"nope","line":"%"})", "vault session missing"},
        {call("decrypt_state", R"(,"line":"")", id_), "ciphertext too short"},
        {call("decrypt_state", R"(,"line":"AA AA")", id_), "invalid ciphertext"},
        {call("decrypt_state", ",\"line\":\"" + line + "\"", id_), "aes-gcm authentication failed"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_.error(c.request), c.error) << c.request;
}

}  // namespace
}  // namespace quorvane::testing
