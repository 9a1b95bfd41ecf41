// No key left behind: a serving helper that opened sessions from a known key, used them for every
// kind of payload and locked them holds no trace of the key, its hex text, the keys derived from
// it, the password or any plaintext anywhere in its memory. Reads the helper's memory through
// /proc/<pid>/mem, which needs root: the helper is non-dumpable.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"
#include "crypto/random.h"
#include "crypto/wrap_salt.h"
#include "hardening/process_memory.h"
#include "support/requirements.h"
#include "support/sanitizer.h"
#include "support/serve_session.h"

namespace quorvane::testing {
namespace {

// Pieces this long are searched for: a secret overwritten only in part still counts. Twelve hex
// digits carry 48 random bits, so a chance match in a helper's few megabytes is negligible.
constexpr std::size_t kPiece = 12;

std::string randomText(std::size_t bytes) {
    std::string text(bytes, '\0');
    randomBytes({reinterpret_cast<std::uint8_t*>(text.data()), bytes});
    return text;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string describe(const std::vector<Occurrence>& occurrences) {
    std::string text = " " + std::to_string(occurrences.size()) + " pieces:";
    for (std::size_t i = 0; i < occurrences.size() && i < 6; ++i) {
        const Occurrence& o = occurrences[i];
        char address[32];
        std::snprintf(address, sizeof address, "%#lx", o.address);
        text += std::string(" ") + address + " (" + (o.mapping.empty() ? "anonymous" : o.mapping) +
                ", piece at " + std::to_string(o.offset) + ")";
    }
    return text;
}

class KeyResidueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ROOT("reading a non-dumpable process's memory needs root");
#ifdef QUORVANE_TEST_SANITIZED
        GTEST_SKIP() << "sanitizer allocators keep their own copies and reserve terabytes of "
                        "address space; the scan runs in the ordinary build";
#endif
    }

    // A member no command reads leads every request, so the secrets after it lie deep in the
    // parser's string buffer, where the shorter requests that follow would not overwrite them.
    std::string request(const std::string& cmd, const std::string& members) {
        return R"({"id":1,"cmd":")" + cmd + R"(","note":")" + std::string(600, '.') + "\"," +
               members + "}";
    }
    std::string member(const std::string& name, const std::string& value) {
        return quoted(name) + ":" + quoted(value);
    }

    ServeSession session_;
};

TEST_F(KeyResidueTest, NothingOfTheKeyOrThePlaintextsRemainsAfterLockSession) {
    // Random material each run, so nothing else in the process matches a piece of it by chance.
    const std::string key = randomText(32);
    const std::string hexKey = dataHex(bytesOf(key));
    const std::string password = randomHex(12);
    // Plaintexts with a space, which no base64 text holds.
    const std::string lines[] = {randomHex(8) + " " + randomHex(8),
                                 randomHex(8) + " " + randomHex(8)};
    const std::string stateLine = randomHex(8) + " " + randomHex(8);
    const std::string payload = randomText(48);
    const std::string saltHex = randomHex(8);

    std::vector<std::string> sessions = {session_.createSessionFromSecret(hexKey),
                                         session_.createSessionFromSecret(upper(hexKey))};
    const std::string full = sessions[0];

    Json sealed =
        session_.ok(request("encrypt_lines", member("sessionId", full) + R"(,"lines":[)" +
                                                 quoted(lines[0]) + "," + quoted(lines[1]) + "]"));
    std::vector<std::string> ciphertexts = sealed["lines"].strings();
    Json opened = session_.ok(request("decrypt_lines", member("sessionId", sessions[1]) +
                                                           R"(,"lines":[")" + ciphertexts[0] +
                                                           R"(",")" + ciphertexts[1] + "\"]"));
    EXPECT_EQ(opened["lines"].strings(),
              std::vector<std::string>(std::begin(lines), std::end(lines)));

    Json sealedBytes =
        session_.ok(request("encrypt_bytes", member("sessionId", full) + "," +
                                                 member("data", base64Encode(bytesOf(payload)))));
    Json openedBytes =
        session_.ok(request("decrypt_bytes", member("sessionId", full) + "," +
                                                 member("data", sealedBytes["data"].str())));
    EXPECT_EQ(openedBytes["data"].str(), base64Encode(bytesOf(payload)));

    Json sealedState = session_.ok(
        request("encrypt_state", member("sessionId", full) + "," + member("line", stateLine)));
    Json openedState =
        session_.ok(request("decrypt_state", member("sessionId", full) + "," +
                                                 member("line", sealedState["line"].str())));
    EXPECT_EQ(openedState["line"].str(), stateLine);

    // A legacy salt with one iteration keeps the derivation cheap; the wrap key is still derived
    // and used inside the helper.
    SecretBytes wrapKey = pbkdf2(password, saltHex, 1);
    std::string blob = base64Encode(encryptData(bytesOf(key), wrapKey.span()));
    for (const char* cmd : {"unwrap_secret", "unwrap_secret_capture"}) {
        Json unwrapped =
            session_.ok(request(cmd, member("secret", password) + "," + member("salt", saltHex) +
                                         "," + member("blob", blob) + R"(,"iterations":1)"));
        sessions.push_back(unwrapped["sessionId"].str());
    }

    // Wrapping derives a key of its own from the password and a salt it draws; the reply's salt
    // lets the test derive the same key to look for.
    Json wrapped = session_.ok(
        request("wrap_secret", member("sessionId", full) + "," + member("secret", password)));
    std::string wrapSalt = wrapped["salt"].str();
    SecretBytes versionedWrapKey =
        pbkdf2(password, wrapSalt.substr(wrapSalt.rfind(':') + 1), wrapped["iterations"].integer());

    // Requests that fail after their secrets were read: a line that is not JSON, a plaintext
    // where a ciphertext belongs.
    session_.error(request("create_session_from_secret", member("secret", hexKey)) + "]");
    EXPECT_EQ(session_.error(request("decrypt_lines", member("sessionId", full) + R"(,"lines":[)" +
                                                          quoted(lines[0]) + "]")),
              "invalid ciphertext");

    const pid_t pid = session_.helper().pid();
    // While sessions are open the raw key is in memory, and only in locked pages that stay out of
    // core dumps.
    auto live = findPieces(pid, {key}, kPiece)[0];
    EXPECT_FALSE(live.empty()) << "the scan must see the key of an open session";
    std::vector<Occurrence> exposed;
    for (const Occurrence& o : live) {
        std::string flags = vmFlags(pid, o.address);
        if (flags.find(" lo ") == std::string::npos || flags.find(" dd ") == std::string::npos) {
            exposed.push_back(o);
        }
    }
    EXPECT_TRUE(exposed.empty()) << "key outside locked, undumped pages:" << describe(exposed);

    for (const std::string& id : sessions)
        session_.ok(request("lock_session", member("sessionId", id)));
    // One more answered request: the loop has wiped everything of the previous one and waits.
    session_.error(R"({"cmd":"after"})");

    std::string stateKey(SHA256_DIGEST_LENGTH, '\0');
    std::string labelled = "quorvane-state-v1" + key;
    SHA256(bytesOf(labelled).data(), labelled.size(),
           reinterpret_cast<unsigned char*>(stateKey.data()));
    const std::vector<std::pair<std::string, std::string>> secrets = {
        {"key", key},
        {"key hex", hexKey},
        {"key HEX", upper(hexKey)},
        {"state key", stateKey},
        {"wrap key", std::string(wrapKey.view())},
        {"versioned wrap key", std::string(versionedWrapKey.view())},
        {"password", password},
        {"line 1", lines[0]},
        {"line 2", lines[1]},
        {"state line", stateLine},
        {"payload", payload},
        {"payload base64", base64Encode(bytesOf(payload))},
    };
    std::vector<std::string> needles;
    for (const auto& secret : secrets) needles.push_back(secret.second);
    auto found = findPieces(pid, needles, kPiece);
    for (std::size_t i = 0; i < secrets.size(); ++i) {
        EXPECT_TRUE(found[i].empty()) << secrets[i].first << " left at" << describe(found[i]);
    }
}

}  // namespace
}  // namespace quorvane::testing
