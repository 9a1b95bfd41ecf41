#include "crypto/pbkdf2.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/hex.h"
#include "crypto/sha256_kernel.h"

namespace quorvane {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes openSslPbkdf2(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                    std::uint32_t iterations, std::size_t length) {
    Bytes out(length);
    int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                               static_cast<int>(password.size()), salt.data(),
                               static_cast<int>(salt.size()), static_cast<int>(iterations),
                               EVP_sha256(), static_cast<int>(length), out.data());
    EXPECT_EQ(ok, 1);
    return out;
}

// Every kernel is run against the same expectations, so a fault in one instruction path cannot
// hide behind another. Kernels this CPU cannot run are skipped, not silently replaced.
const Sha256Kernel* kernelNamed(std::string_view name) {
    if (name == "portable") return &sha256PortableKernel();
    if (name == "x86-sha") return sha256X86ShaKernel();
    if (name == "arm64-sha2") return sha256Arm64Kernel();
    return nullptr;
}

class Pbkdf2KernelTest : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        kernel_ = kernelNamed(GetParam());
        if (kernel_ == nullptr) GTEST_SKIP() << GetParam() << " is not available on this CPU";
    }

    std::string derive(std::string_view password, std::string_view salt, std::uint32_t iterations,
                       std::size_t length) {
        Bytes out(length, 0xaa);
        EXPECT_EQ(pbkdf2HmacSha256(*kernel_, bytesOf(password), bytesOf(salt), iterations, out), 0);
        return dataHex(out);
    }

    const Sha256Kernel* kernel_ = nullptr;
};

// RFC 7914 section 11, and the widely published PBKDF2-HMAC-SHA256 counterparts of the RFC 6070
// vectors: multi-block output, output cut inside a block, zero bytes inside password and salt.
struct KnownAnswer {
    std::string_view password;
    std::string_view salt;
    std::uint32_t iterations;
    const char* derived;
};
using namespace std::string_view_literals;
const KnownAnswer kKnownAnswers[] = {
    {"passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
    {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
    {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
     "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
    {"pass\0word"sv, "sa\0lt"sv, 4096, "89b69d0516f829893c696226650a8687"},
};

TEST_P(Pbkdf2KernelTest, DerivesKnownAnswers) {
    for (const KnownAnswer& answer : kKnownAnswers) {
        SCOPED_TRACE(std::string(answer.password) + " / " + std::string(answer.salt));
        EXPECT_EQ(derive(answer.password, answer.salt, answer.iterations,
                         std::string_view(answer.derived).size() / 2),
                  answer.derived);
    }
}

// Lengths sit on the edges that matter to HMAC and to SHA-256 padding: passwords around the
// 64-byte key block (longer ones are hashed first), salts whose salt || INT(i) ends just before,
// at and after the 56-byte padding limit and the block boundary, outputs that end inside the
// first, second and third block.
TEST_P(Pbkdf2KernelTest, MatchesOpenSslOverManyLengths) {
    const std::size_t passwordLengths[] = {0,  1,  3,  31,  32,  33,  55, 56,
                                           63, 64, 65, 100, 128, 129, 300};
    const std::size_t saltLengths[] = {0, 1, 8, 16, 51, 52, 53, 59, 60, 61, 64, 115, 116, 124, 200};
    const std::size_t outLengths[] = {32, 1, 16, 31, 33, 64, 65, 95, 20};
    std::mt19937 random(20240611);
    std::size_t round = 0;
    for (std::size_t passwordLength : passwordLengths) {
        for (std::size_t saltLength : saltLengths) {
            Bytes password(passwordLength);
            Bytes salt(saltLength);
            for (auto& byte : password) byte = static_cast<std::uint8_t>(random());
            for (auto& byte : salt) byte = static_cast<std::uint8_t>(random());
            const std::uint32_t iterations = 1 + random() % 24;
            const std::size_t length = outLengths[round++ % std::size(outLengths)];
            SCOPED_TRACE("password " + std::to_string(passwordLength) + ", salt " +
                         std::to_string(saltLength) + ", iterations " + std::to_string(iterations) +
                         ", length " + std::to_string(length));
            Bytes ours(length);
            ASSERT_EQ(pbkdf2HmacSha256(*kernel_, password, salt, iterations, ours), 0);
            EXPECT_EQ(dataHex(ours), dataHex(openSslPbkdf2(password, salt, iterations, length)));
        }
    }
}

TEST_P(Pbkdf2KernelTest, RefusesZeroIterationsAndLeavesZeros) {
    Bytes out(40, 0xaa);
    EXPECT_NE(pbkdf2HmacSha256(*kernel_, bytesOf("password"), bytesOf("salt"), 0, out), 0);
    EXPECT_EQ(out, Bytes(40, 0));
}

TEST_P(Pbkdf2KernelTest, AcceptsAnEmptyOutput) {
    EXPECT_EQ(pbkdf2HmacSha256(*kernel_, bytesOf("password"), bytesOf("salt"), 1,
                               std::span<std::uint8_t>()),
              0);
}

INSTANTIATE_TEST_SUITE_P(Kernels, Pbkdf2KernelTest,
                         testing::Values("portable", "x86-sha", "arm64-sha2"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

// The default entry point must run on the CPU's SHA instructions when they are there; otherwise
// unlocking silently costs several times as long.
TEST(Pbkdf2Test, DefaultEntryPointUsesTheFastestKernel) {
    const Sha256Kernel* expected = sha256X86ShaKernel();
    if (expected == nullptr) expected = sha256Arm64Kernel();
    if (expected == nullptr) expected = &sha256PortableKernel();
    EXPECT_STREQ(sha256FastestKernel().name, expected->name);
}

// One derivation at the count every new password wrap uses, through the default entry point.
TEST(Pbkdf2Test, MatchesOpenSslAtTheWrapIterationCount) {
    const std::string_view password = "correct horse battery staple \xf0\x9f\x94\x91";
    const Bytes salt = {0x5f, 0x1c, 0x90, 0x0b, 0x2e, 0x71, 0xa8, 0x33,
                        0xd4, 0x4a, 0x86, 0xee, 0x07, 0x19, 0xc2, 0x60};
    Bytes ours(32);
    ASSERT_EQ(pbkdf2HmacSha256(bytesOf(password), salt, 1200000, ours), 0);
    EXPECT_EQ(dataHex(ours), dataHex(openSslPbkdf2(bytesOf(password), salt, 1200000, 32)));
}

}  // namespace
}  // namespace quorvane
