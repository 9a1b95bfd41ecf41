// Password wrapping through the binary: round trips and every error text in check order.
#include <gtest/gtest.h>

#include <chrono>

#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

const std::string kKey = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string kSalt = "00112233445566778899aabbccddeeff";

TEST(WrapCommandsTest, WrapThenUnwrapOpensSessionsOverTheSameKey) {
    ServeSession session;
    std::string sid = session.createSessionFromSecret(kKey);
    Json wrapped =
        session.ok(R"({"id":3,"cmd":"wrap_secret","sessionId":")" + sid + R"(","secret":""})");
    EXPECT_EQ(wrapped.object().size(), 5u);  // id, ok, salt, blob, iterations
    EXPECT_EQ(wrapped["salt"].str().size(), 50u);
    EXPECT_EQ(wrapped["salt"].str().rfind("pbkdf2:v2:1200000:", 0), 0u);
    EXPECT_EQ(wrapped["blob"].str().size(), 80u);
    EXPECT_EQ(wrapped["iterations"].integer(), 1200000);

    const std::string unwrap = R"({"cmd":"unwrap_secret","secret":"","salt":")" +
                               wrapped["salt"].str() + R"(","blob":")" + wrapped["blob"].str() +
                               R"("})";
    std::string first = session.ok(unwrap)["sessionId"].str();
    std::string second = session.ok(unwrap)["sessionId"].str();
    EXPECT_NE(first, second);
    std::string line =
        session.ok(R"({"cmd":"encrypt_lines","sessionId":")" + sid + R"(","lines":["v"]})")["lines"]
            .strings()[0];
    for (const std::string& opened : {first, second}) {
        EXPECT_EQ(session
                      .ok(R"({"cmd":"decrypt_lines","sessionId":")" + opened + R"(","lines":[")" +
                          line + R"("]})")["lines"]
                      .strings(),
                  std::vector<std::string>{"v"});
    }

    std::string wrong = R"({"cmd":"unwrap_secret","secret":"x","salt":")" + wrapped["salt"].str() +
                        R"(","blob":")" + wrapped["blob"].str() + R"("})";
    EXPECT_EQ(session.error(wrong), "aes-gcm authentication failed");
}

TEST(WrapCommandsTest, ErrorsComeInCheckOrder) {
    ServeSession session;
    std::string sid = session.createSessionFromSecret(kKey);
    struct Case {
        std::string request;
        std::string error;
    };
    const Case cases[] = {
        {R"({"cmd":"wrap_secret","sessionId":1,"secret":"pw"})", "wrap_secret missing parameters"},
        {R"({"cmd":"wrap_secret","sessionId":"nope"})", "wrap_secret missing parameters"},
        {R"({"cmd":"wrap_secret","sessionId":"nope","secret":"pw"})", "vault session missing"},
        {R"({"cmd":"unwrap_secret","secret":1,"salt":"","blob":""})",
         "unwrap_secret missing parameters"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":""})", "unwrap_secret missing parameters"},
        {R"({"cmd":"unwrap_secret_capture","secret":"","blob":""})",
         "unwrap_secret_capture missing parameters"},
        // The blob is checked before anything else, even a bad salt.
        {R"({"cmd":"unwrap_secret","secret":"","salt":"zz","blob":"AAAA AAA="})",
         "invalid wrapped blob"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"zz","blob":"AAA"})", "invalid wrapped blob"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"pbkdf2:v2:0:zz","blob":""})",
         "invalid wrap iterations"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"pbkdf2:v2:1:z","blob":""})",
         "invalid salt hex"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"pbkdf2:V2:1:00","blob":""})",
         "invalid salt hex"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"00","blob":"","iterations":-1})",
         "wrap iterations out of range"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"00","blob":"","iterations":4294967296})",
         "wrap iterations out of range"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":")" + kSalt +
             R"(","blob":"","iterations":1})",
         "ciphertext too short"},
        {R"({"cmd":"unwrap_secret","secret":"","salt":"pbkdf2:v2:1:)" + kSalt +
             R"(","blob":"","iterations":"x"})",
         "ciphertext too short"},
    };
    for (const Case& c : cases) EXPECT_EQ(session.error(c.request), c.error) << c.request;

    std::string zero = session.error(
        R"({"cmd":"unwrap_secret","secret":"","salt":"00","blob":"","iterations":0})");
    EXPECT_EQ(zero.rfind("pbkdf2 derive failed: ", 0), 0u) << zero;
}

// A blob shorter than a nonce and a tag opens under no key, so it is answered without the
// derivation, which at the largest count takes minutes; the descriptor's own errors still come
// first.
TEST(WrapCommandsTest, ShortBlobIsAnsweredWithoutDeriving) {
    ServeSession session;
    struct Case {
        std::string request;
        std::string error;
    };
    // "AAAA" is 3 bytes; 36 characters make 27 bytes, one short of a nonce and a tag.
    const std::string almost(36, 'A');
    const Case cases[] = {
        {R"({"cmd":"unwrap_secret","secret":"pw","salt":"pbkdf2:v2:4294967295:00","blob":"AAAA"})",
         "ciphertext too short"},
        {R"({"cmd":"unwrap_secret_capture","secret":"pw","salt":"pbkdf2:v2:4294967295:00","blob":")" +
             almost + R"("})",
         "ciphertext too short"},
        {R"({"cmd":"unwrap_secret","secret":"pw","salt":"00","blob":"AAAA","iterations":4294967295})",
         "ciphertext too short"},
        {R"({"cmd":"unwrap_secret","secret":"pw","salt":"pbkdf2:v2:4294967296:00","blob":"AAAA"})",
         "wrap iterations out of range"},
        {R"({"cmd":"unwrap_secret","secret":"pw","salt":"pbkdf2:v2:4294967295:0","blob":"AAAA"})",
         "invalid salt hex"},
        {R"({"cmd":"unwrap_secret","secret":"pw","salt":"pbkdf2:v2:-1:00","blob":"AAAA"})",
         "invalid wrap iterations"},
    };
    for (const Case& c : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(session.error(c.request), c.error) << c.request;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.request;
    }
    std::string zero = session.error(
        R"({"cmd":"unwrap_secret","secret":"","salt":"00","blob":"AAAA","iterations":0})");
    EXPECT_EQ(zero.rfind("pbkdf2 derive failed: ", 0), 0u) << zero;
}

}  // namespace
}  // namespace quorvane::testing
