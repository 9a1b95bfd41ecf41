// The key operations of the Linux backend, with the item store replaced by a recorder and the
// presence prompt by the fake platform's scripted contexts.
#include <gtest/gtest.h>

#include "crypto/hex.h"
#include "platform/fake/fake_platform.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/p256.h"
#include "platform/linux/stored_key.h"

namespace quorvane::platform {
namespace {

constexpr Constant kAlgorithm =
    value::kSecKeyAlgorithmECIESEncryptionCofactorVariableIVX963SHA256AESGCM;
constexpr std::uint64_t kVaultKeyFlags =
    kSecAccessControlPrivateKeyUsage | kSecAccessControlBiometryCurrentSet;

// The Linux backend with its item store swapped for a recorder, so key creation can be checked
// without a database.
class RecordingPlatform : public LinuxPlatform {
  public:
    OSStatus itemAdd(const AttributeSet& attributes) override {
        added.push_back(attributes);
        return addStatus;
    }
    std::vector<AttributeSet> added;
    OSStatus addStatus = errSecSuccess;
};

AttributeSet creationAttributes(bool permanent, std::shared_ptr<AccessControl> access = nullptr) {
    auto inner = std::make_shared<AttributeSet>();
    inner->set(attr::kSecAttrIsPermanent, permanent);
    if (permanent) inner->set(attr::kSecAttrApplicationTag, Bytes{'t', 'a', 'g'});
    if (access) inner->set(attr::kSecAttrAccessControl, std::move(access));
    AttributeSet attributes;
    attributes.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    attributes.set(attr::kSecAttrKeySizeInBits, std::int64_t{256});
    attributes.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    attributes.set(attr::kSecPrivateKeyAttrs, std::shared_ptr<const AttributeSet>(inner));
    return attributes;
}

std::string text(const std::optional<PlatformError>& error) {
    return error ? error->description() : "(no error)";
}

TEST(LinuxKeyCreation, AProbeKeyStoresNothing) {
    RecordingPlatform platform;
    std::optional<PlatformError> error;
    EXPECT_NE(platform.keyCreateRandomKey(creationAttributes(false), &error), nullptr);
    EXPECT_TRUE(platform.added.empty());
    EXPECT_FALSE(error.has_value());
}

TEST(LinuxKeyCreation, APermanentKeyBecomesOneKeyItem) {
    RecordingPlatform platform;
    std::optional<PlatformError> error;
    auto access = platform.accessControlCreateWithFlags(
        value::kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kVaultKeyFlags);
    std::shared_ptr<Key> key =
        platform.keyCreateRandomKey(creationAttributes(true, access), &error);
    ASSERT_NE(key, nullptr) << text(error);
    ASSERT_EQ(platform.added.size(), 1u);

    const AttributeSet& item = platform.added[0];
    EXPECT_EQ(item.size(), 5u);
    EXPECT_EQ(*item.get<Constant>(attr::kSecClass), value::kSecClassKey);
    EXPECT_EQ(*item.get<Constant>(attr::kSecAttrKeyType), value::kSecAttrKeyTypeECSECPrimeRandom);
    EXPECT_EQ(*item.get<Bytes>(attr::kSecAttrApplicationTag), (Bytes{'t', 'a', 'g'}));
    EXPECT_EQ(*item.get<std::int64_t>(kStoredAccessControlFlags), 0x40000008);
    auto* stored = item.get<std::shared_ptr<const SecretBytes>>(attr::kSecValueData);
    ASSERT_NE(stored, nullptr);
    EXPECT_TRUE(p256::isValidScalar((*stored)->span()));

    // The stored scalar is the key that was returned: what its public half seals, the key
    // loaded back from the item opens.
    auto publicKey = platform.keyCopyPublicKey(*key);
    auto blob = platform.keyCreateEncryptedData(*publicKey, kAlgorithm, Bytes{1, 2, 3}, &error);
    ASSERT_TRUE(blob.has_value()) << text(error);
    auto loaded = keyRefFromStoredItem({SecretBytes::copyOf((*stored)->span()), 0}, nullptr);
    auto opened = platform.keyCreateDecryptedData(*loaded, kAlgorithm, *blob, &error);
    ASSERT_TRUE(opened.has_value()) << text(error);
    EXPECT_EQ(dataHex(opened->span()), "010203");
}

TEST(LinuxKeyCreation, AFailedStoreGivesNoKey) {
    RecordingPlatform platform;
    platform.addStatus = errSecDuplicateItem;
    std::optional<PlatformError> error;
    EXPECT_EQ(platform.keyCreateRandomKey(creationAttributes(true), &error), nullptr);
    EXPECT_EQ(text(error), "the new key could not be stored (status -25299)");
}

TEST(LinuxKeyCreation, RefusesKeysItCannotMake) {
    struct Case {
        const char* what;
        std::string_view name;
        AttributeValue value;
        const char* error;
    };
    const Case cases[] = {
        {"RSA", attr::kSecAttrKeyType, Constant{"kSecAttrKeyTypeRSA"},
         "only P-256 keys can be made"},
        {"384 bits", attr::kSecAttrKeySizeInBits, std::int64_t{384},
         "only 256-bit keys can be made"},
        {"size as text", attr::kSecAttrKeySizeInBits, std::string("256"),
         "only 256-bit keys can be made"},
        {"other token", attr::kSecAttrTokenID, Constant{"kSecAttrTokenIDOther"},
         "unknown key token"},
    };
    for (const Case& c : cases) {
        RecordingPlatform platform;
        AttributeSet attributes = creationAttributes(true);
        attributes.set(c.name, c.value);
        std::optional<PlatformError> error;
        EXPECT_EQ(platform.keyCreateRandomKey(attributes, &error), nullptr) << c.what;
        EXPECT_EQ(text(error), c.error) << c.what;
        EXPECT_TRUE(platform.added.empty()) << c.what;
    }
}

TEST(LinuxKeyUse, PublicKeysEncryptAndPrivateKeysDecryptUnderTheWrapAlgorithmOnly) {
    RecordingPlatform platform;
    std::optional<PlatformError> error;
    auto privateKey = platform.keyCreateRandomKey(creationAttributes(false), &error);
    auto publicKey = platform.keyCopyPublicKey(*privateKey);
    ASSERT_NE(publicKey, nullptr);
    EXPECT_TRUE(platform.keyIsAlgorithmSupported(*publicKey, KeyOperation::encrypt, kAlgorithm));
    EXPECT_FALSE(platform.keyIsAlgorithmSupported(*publicKey, KeyOperation::decrypt, kAlgorithm));
    EXPECT_TRUE(platform.keyIsAlgorithmSupported(*privateKey, KeyOperation::decrypt, kAlgorithm));
    EXPECT_FALSE(platform.keyIsAlgorithmSupported(*privateKey, KeyOperation::encrypt, kAlgorithm));
    const Constant other{"kSecKeyAlgorithmECIESEncryptionStandardX963SHA256AESGCM"};
    EXPECT_FALSE(platform.keyIsAlgorithmSupported(*publicKey, KeyOperation::encrypt, other));

    EXPECT_FALSE(platform.keyCreateEncryptedData(*publicKey, other, Bytes{1}, &error).has_value());
    EXPECT_EQ(text(error), "algorithm not supported by this key");
    error.reset();
    EXPECT_FALSE(platform.keyCreateEncryptedData(*privateKey, kAlgorithm, Bytes{1}, &error));
    EXPECT_EQ(text(error), "algorithm not supported by this key");
}

TEST(LinuxKeyUse, AStoredItemThatIsNoKeyGivesNoReference) {
    EXPECT_EQ(keyRefFromStoredItem({SecretBytes(32), kVaultKeyFlags}, nullptr), nullptr);
    EXPECT_EQ(keyRefFromStoredItem({SecretBytes(31), kVaultKeyFlags}, nullptr), nullptr);
}

// Decryption with a presence-gated key: the prompt runs through the context the key was loaded
// with, and nothing comes out unless it passed and the blob was made for the key.
class PresenceGatedDecrypt : public ::testing::Test {
  protected:
    void SetUp() override {
        scalar = p256::generateScalar();
        auto publicKey = keyRefFromStoredItem({SecretBytes::copyOf(scalar.span()), 0}, nullptr);
        std::optional<PlatformError> error;
        blob = *platform.keyCreateEncryptedData(*platform.keyCopyPublicKey(*publicKey), kAlgorithm,
                                                Bytes(32, 0x42), &error);
    }
    std::optional<SecretBytes> decrypt(std::uint64_t flags, const Bytes& ciphertext) {
        auto key = keyRefFromStoredItem({SecretBytes::copyOf(scalar.span()), flags},
                                        fake.createAuthContext());
        return platform.keyCreateDecryptedData(*key, kAlgorithm, ciphertext, &error);
    }
    RecordingPlatform platform;
    FakePlatform fake;  // its contexts answer the prompt as scripted
    SecretBytes scalar;
    Bytes blob;
    std::optional<PlatformError> error;
};

TEST_F(PresenceGatedDecrypt, APassedPromptReleasesThePlaintext) {
    auto plaintext = decrypt(kVaultKeyFlags, blob);
    ASSERT_TRUE(plaintext.has_value()) << text(error);
    EXPECT_EQ(plaintext->size(), 32u);
    EXPECT_EQ(fake.promptCount, 1);
}

TEST_F(PresenceGatedDecrypt, ARefusedPromptReleasesNothing) {
    fake.promptPasses = false;
    EXPECT_FALSE(decrypt(kVaultKeyFlags, blob).has_value());
    EXPECT_EQ(text(error), "cancelled");  // the context's own reason, passed on unchanged
    EXPECT_EQ(fake.promptCount, 1);
}

TEST_F(PresenceGatedDecrypt, AKeyWithoutPresenceFlagsAsksNobody) {
    EXPECT_TRUE(decrypt(kSecAccessControlPrivateKeyUsage, blob).has_value());
    EXPECT_EQ(fake.promptCount, 0);
}

TEST_F(PresenceGatedDecrypt, GarbageIsRefusedBeforeThePrompt) {
    EXPECT_FALSE(decrypt(kVaultKeyFlags, Bytes(blob.begin(), blob.begin() + 80)).has_value());
    EXPECT_EQ(text(error), "ecies ciphertext too short");
    EXPECT_EQ(fake.promptCount, 0);
}

TEST_F(PresenceGatedDecrypt, ABlobForAnotherKeyFailsAfterThePrompt) {
    scalar = p256::generateScalar();
    EXPECT_FALSE(decrypt(kVaultKeyFlags, blob).has_value());
    EXPECT_EQ(text(error), "ecies authentication failed");
    EXPECT_EQ(fake.promptCount, 1);
}

}  // namespace
}  // namespace quorvane::platform
