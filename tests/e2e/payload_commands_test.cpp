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

    std::string call(const std::string& cmd, const std::string& members,
                     const std::string& sessionId) {
        return R"({"id":1,"cmd":")" + cmd + R"(","sessionId":")" + sessionId + "\"" + members + "}";
    }
    std::vector<std::string> encryptLines(const std::string& linesJson,
                                          const std::string& sid = "") {
        return session_
            .ok(call("encrypt_lines", ",\"lines\":" + linesJson, sid.empty() ? id_ : sid))["lines"]
            .strings();
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
    auto sealed =
        encryptLines(R"(["", "a", "a", "h\u00e9llo \ud83d\udd11 \/ \"q\" \n\t\u0000 end"])");
    ASSERT_EQ(sealed.size(), 4u);
    EXPECT_EQ(sealed[0].size(), 40u);
    EXPECT_EQ(sealed[0].substr(38), "==");
    EXPECT_NE(sealed[1], sealed[2]) << "every line gets a fresh nonce";
    Json opened = decryptLines(sealed);
    ASSERT_TRUE(opened["ok"].boolean());
    using namespace std::string_literals;
    EXPECT_EQ(opened["lines"].strings(),
              (std::vector<std::string>{"", "a", "a",
                                        "h\xc3\xa9llo \xf0\x9f\x94\x91 / \"q\" \n\t\0 end"s}));
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
        {R"({"cmd":"encrypt_lines","sessionId":"nope","lines":["a",1]})",
         "encrypt_lines missing parameters"},
        {R"({"cmd":"encrypt_lines","sessionId":"nope","lines":"a"})",
         "encrypt_lines missing parameters"},
        {R"({"cmd":"encrypt_lines","lines":["a"]})", "encrypt_lines missing parameters"},
        {R"({"cmd":"decrypt_lines","sessionId":"nope","lines":[null]})",
         "decrypt_lines missing parameters"},
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
        {call("decrypt_lines", ",\"lines\":[\"" + state + "\"]", id_),
         "aes-gcm authentication failed"},
        {call("decrypt_lines", ",\"lines\":[\"" + notUtf8 + "\"]", id_), "invalid utf8 plaintext"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_.error(c.request), c.error) << c.request;
}

TEST_F(PayloadCommandsTest, BytesRoundTripEveryByteValue) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    std::string data =
        base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(all.data()), all.size()));
    std::string first = sealBytes(data);
    EXPECT_NE(first, sealBytes(data));
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + first + "\"", id_))["data"].str(),
              data);

    std::string empty = sealBytes("");
    EXPECT_EQ(empty.size(), 40u);
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + empty + "\"", id_))["data"].str(),
              "");

    // Lines and payloads share key and form: each opens through the other.
    std::string line = encryptLines(R"(["text"])")[0];
    EXPECT_EQ(session_.ok(call("decrypt_bytes", R"(,"data":")" + line + "\"", id_))["data"].str(),
              "dGV4dA==");
    EXPECT_EQ(decryptLines({sealBytes("dGV4dA==")})["lines"].strings(),
              std::vector<std::string>{"text"});
}

TEST_F(PayloadCommandsTest, ByteErrorsComeInCheckOrder) {
    struct Case {
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        {R"({"cmd":"encrypt_bytes","sessionId":"nope","data":1})",
         "encrypt_bytes missing parameters"},
        {R"({"cmd":"decrypt_bytes","sessionId":"nope","data":[]})",
         "decrypt_bytes missing parameters"},
        {R"({"cmd":"encrypt_bytes","data":""})", "encrypt_bytes missing parameters"},
        {R"({"cmd":"encrypt_bytes","sessionId":"nope","data":"%"})", "vault session missing"},
        {R"({"cmd":"decrypt_bytes","sessionId":"nope","data":"%"})", "vault session missing"},
        {call("encrypt_bytes", R"(,"data":"AA AA")", id_), "invalid base64 data"},
        {call("encrypt_bytes", R"(,"data":"AA-_")", id_), "invalid base64 data"},
        {call("encrypt_bytes", R"(,"data":"AAA")", id_), "invalid base64 data"},
        {call("decrypt_bytes", R"(,"data":"AAAA\n")", id_), "invalid base64 data"},
        {call("decrypt_bytes", R"(,"data":"")", id_), "ciphertext too short"},
        {call("decrypt_bytes", ",\"data\":\"" + sealState("x") + "\"", id_),
         "aes-gcm authentication failed"},
    };
    for (const Case& c : cases) EXPECT_EQ(session_.error(c.request), c.error) << c.request;
}

// Payloads of several MiB take the bulk path (decoded while the line arrives, reply sent in
// pieces). Their replies must be byte for byte those of a small payload, "/" escaped included,
// whether or not the request escapes its "/", and a failure must still be one complete error
// reply with the request's id, after which the helper answers the next request as usual.
TEST_F(PayloadCommandsTest, BulkPayloadsAnswerAsSmallOnes) {
    std::string payload(3 * 1024 * 1024 + 1, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 131 + i / 977);
    std::string text = base64Encode(
        std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
    auto escaped = [](std::string plain) {
        std::string out;
        for (char c : plain) out += c == '/' ? std::string("\\/") : std::string(1, c);
        return out;
    };
    auto unescaped = [](std::string text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) out += text[i] == '\\' ? text[++i] : text[i];
        return out;
    };
    auto request = [&](int id, const std::string& cmd, const std::string& data) {
        return "{\"id\":" + std::to_string(id) + ",\"cmd\":\"" + cmd + "\",\"sessionId\":\"" + id_ +
               "\",\"data\":\"" + data + "\"}";
    };
    ServingHelper& helper = session_.helper();
    const std::string decryptedReply = "{\"id\":5,\"ok\":true,\"data\":\"" + escaped(text) + "\"}";

    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "escaped slashes" : "plain base64");
        std::string sealedReply =
            helper.request(request(4, "encrypt_bytes", escape ? escaped(text) : text));
        std::string prefix = "{\"id\":4,\"ok\":true,\"data\":\"";
        ASSERT_EQ(sealedReply.substr(0, prefix.size()), prefix);
        ASSERT_EQ(sealedReply.substr(sealedReply.size() - 2), "\"}");
        std::string sealed =
            unescaped(sealedReply.substr(prefix.size(), sealedReply.size() - prefix.size() - 2));
        EXPECT_EQ(sealed.size(), base64EncodedLength(28 + payload.size()));
        EXPECT_EQ(helper.request(request(5, "decrypt_bytes", escape ? escaped(sealed) : sealed)),
                  decryptedReply);
        // An integer beyond 64 bits as the id changes nothing but the id.
        std::string wide = request(5, "decrypt_bytes", escape ? escaped(sealed) : sealed);
        wide.replace(wide.find(":5,"), 3, ":123456789012345678901234567890,");
        EXPECT_EQ(helper.request(wide),
                  "{\"id\":0" + decryptedReply.substr(decryptedReply.find(',')));

        std::string tampered = sealed;
        tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
        std::string late = text;
        late[late.size() - 5] = '-';
        struct Case {
            std::string request;
            std::string reply;
        };
        const Case cases[] = {
            {request(6, "decrypt_bytes", tampered),
             R"({"id":6,"ok":false,"error":"aes-gcm authentication failed"})"},
            {request(7, "encrypt_bytes", late),
             R"({"id":7,"ok":false,"error":"invalid base64 data"})"},
            {request(8, "decrypt_bytes", text.substr(0, text.size() - 1) + "\x01"),
             R"({"id":0,"ok":false,"error":"invalid json request"})"},
            {request(9, "encrypt_bytes", text) + " {}",
             R"({"id":0,"ok":false,"error":"invalid json request"})"},
            {"{\"id\":10,\"cmd\":\"encrypt_bytes\",\"data\":\"" + text +
                 "\",\"sessionId\":\"nope\"}",
             R"({"id":10,"ok":false,"error":"vault session missing"})"},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(helper.request(escape ? escaped(c.request) : c.request), c.reply);
            EXPECT_EQ(sealBytes("AAE=").size(), 40u) << "the next request is answered as usual";
        }
    }
}

TEST_F(PayloadCommandsTest, StateLinesUseTheirOwnKey) {
    std::string sealed = sealState("");
    EXPECT_EQ(sealed.size(), 40u);
    EXPECT_NE(sealState("s"), sealState("s"));
    // Another session over the same vault key reads it: the state key depends on the key alone.
    std::string twin = session_.createSessionFromSecret(kKey);
    EXPECT_EQ(
        session_
            .ok(call("decrypt_state", ",\"line\":\"" + sealState("\u00e9/x") + "\"", twin))["line"]
            .str(),
        "\xc3\xa9/x");

    struct Case {
        std::string request;
        std::string error;
    };
    std::string line = encryptLines(R"(["x"])")[0];
    const Case cases[] = {
        {R"({"cmd":"encrypt_state","sessionId":"nope","line":1})",
         "encrypt_state missing parameters"},
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
