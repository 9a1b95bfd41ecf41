// The vault key pair's lookup, creation, load for use and deletion, through the macOS key store
// adapter over the fake framework: the exact attribute sets and every status branch.
#include "platform/macos/mac_key_store.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "presence/presence_key.h"
#include "support/error_text.h"
#include "support/fake_security_framework.h"

namespace quorvane {
namespace {

using platform::AttributeSet;
using FakePlatform = platform::FakeSecurityFramework;
namespace attr = platform::attr;
namespace value = platform::value;

const Bytes kTag = [] {
    std::string_view text = "com.quorvane.secureenclave.vault";
    return Bytes(text.begin(), text.end());
}();

using quorvane::testing::errorText;

// expectBaseQuery checks the three attributes that name the vault key and returns how many
// entries the set has besides them.
std::size_t expectBaseQuery(const AttributeSet& query) {
    EXPECT_EQ(*query.get<platform::Constant>(attr::kSecClass), value::kSecClassKey);
    EXPECT_EQ(*query.get<platform::Constant>(attr::kSecAttrKeyType),
              value::kSecAttrKeyTypeECSECPrimeRandom);
    EXPECT_EQ(*query.get<Bytes>(attr::kSecAttrApplicationTag), kTag);
    return query.size() - 3;
}

const FakePlatform::Call& onlyCall(const FakePlatform& platform, const std::string& operation) {
    const FakePlatform::Call* found = nullptr;
    for (const auto& call : platform.calls) {
        if (call.operation == operation) {
            EXPECT_EQ(found, nullptr) << operation << " called more than once";
            found = &call;
        }
    }
    if (found == nullptr) throw std::runtime_error(operation + " not called");
    return *found;
}

TEST(MacFindPresenceKey, AsksForAReferenceByTheBaseQuery) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    EXPECT_EQ(keys.find(), nullptr);
    const AttributeSet& query = onlyCall(platform, "itemCopyMatching").attributes;
    EXPECT_EQ(expectBaseQuery(query), 1u);
    EXPECT_EQ(*query.get<bool>(attr::kSecReturnRef), true);
}

TEST(MacFindPresenceKey, AnyFailureStatusMeansNoKey) {
    for (platform::OSStatus status : {platform::errSecItemNotFound, -25308, -40005, 1}) {
        FakePlatform platform;
        platform::MacKeyStore keys(platform);
        findOrCreatePresenceKey(keys);
        platform.scriptStatus("itemCopyMatching", status);
        EXPECT_EQ(keys.find(), nullptr) << status;
    }
}

TEST(MacFindOrCreatePresenceKey, CreatesThePairOnceWithTheVaultKeyAttributes) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    auto first = findOrCreatePresenceKey(keys);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(platform.items.size(), 1u);
    // Creation asks nobody.
    EXPECT_EQ(platform.promptCount, 0);
    for (const auto& call : platform.calls) EXPECT_NE(call.operation, "createAuthContext");

    const AttributeSet& outer = onlyCall(platform, "keyCreateRandomKey").attributes;
    EXPECT_EQ(outer.size(), 4u);
    EXPECT_EQ(*outer.get<platform::Constant>(attr::kSecAttrKeyType),
              value::kSecAttrKeyTypeECSECPrimeRandom);
    EXPECT_EQ(*outer.get<std::int64_t>(attr::kSecAttrKeySizeInBits), 256);
    EXPECT_EQ(*outer.get<platform::Constant>(attr::kSecAttrTokenID),
              value::kSecAttrTokenIDSecureEnclave);
    const AttributeSet& inner =
        **outer.get<std::shared_ptr<const AttributeSet>>(attr::kSecPrivateKeyAttrs);
    EXPECT_EQ(inner.size(), 3u);
    EXPECT_EQ(*inner.get<bool>(attr::kSecAttrIsPermanent), true);
    EXPECT_EQ(*inner.get<Bytes>(attr::kSecAttrApplicationTag), kTag);
    const auto& access =
        *inner.get<std::shared_ptr<platform::AccessControl>>(attr::kSecAttrAccessControl);
    EXPECT_EQ(access->protection(), value::kSecAttrAccessibleWhenUnlockedThisDeviceOnly);
    EXPECT_EQ(access->flags(), 0x40000008u);

    // The second call finds the first key and makes nothing.
    platform.calls.clear();
    auto second = findOrCreatePresenceKey(keys);
    EXPECT_EQ(platform.operations(), (std::vector<std::string>{"itemCopyMatching"}));
    EXPECT_EQ(platform.items.size(), 1u);
    // Same pair: what one public half seals, the other reference's pair opens.
    Bytes blob = first->encrypt(Bytes{7});
    EXPECT_NO_THROW(second->decrypt(blob));
}

TEST(MacFindOrCreatePresenceKey, AFailedLookupCreatesANewKeyUnderTheSameTag) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    platform.scriptStatus("itemCopyMatching", -25308);
    EXPECT_NE(findOrCreatePresenceKey(keys), nullptr);
    EXPECT_EQ(platform.operations(),
              (std::vector<std::string>{"itemCopyMatching", "accessControlCreateWithFlags",
                                        "keyCreateRandomKey"}));
}

TEST(MacFindOrCreatePresenceKey, ReportsEachCreationFailure) {
    struct Case {
        const char* what;
        bool accessControlFails, keyCreateFails;
        std::optional<PlatformError> error;
        const char* expected;
    };
    const Case cases[] = {
        {"no access control", true, false, std::nullopt, "unable to create access control"},
        {"creation with a reason", false, true, PlatformError("the key store is locked"),
         "secure enclave key create failed: the key store is locked"},
        {"creation without a reason", false, true, std::nullopt,
         "secure enclave key create failed: unknown"},
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform::MacKeyStore keys(platform);
        platform.accessControlFails = c.accessControlFails;
        platform.keyCreateFails = c.keyCreateFails;
        platform.keyCreateError = c.error;
        EXPECT_EQ(errorText([&] { findOrCreatePresenceKey(keys); }), c.expected) << c.what;
        EXPECT_TRUE(platform.items.empty()) << c.what;
    }
}

TEST(MacFindPresenceKeyForUse, BindsTheKeyToAFreshContextCarryingThePrompt) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    findOrCreatePresenceKey(keys);
    platform.calls.clear();
    auto key = findPresenceKeyForUse(keys, {"Unlock Quorvane vault"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(platform.operations(),
              (std::vector<std::string>{"createAuthContext", "canEvaluatePolicy",
                                        "setLocalizedReason", "itemCopyMatching"}));
    EXPECT_EQ(platform.calls[2].text, "Unlock Quorvane vault");
    const AttributeSet& query = platform.calls[3].attributes;
    EXPECT_EQ(expectBaseQuery(query), 2u);
    EXPECT_EQ(*query.get<bool>(attr::kSecReturnRef), true);
    EXPECT_NE(query.get<std::shared_ptr<platform::AuthContext>>(attr::kSecUseAuthenticationContext),
              nullptr);
    // Loading asks nobody; the decryption will, with the prompt text as its reason.
    EXPECT_EQ(platform.promptCount, 0);
    EXPECT_THROW((void)key->decrypt(Bytes{0}), platform::KeyStoreError);
    EXPECT_EQ(platform.lastPromptReason, "Unlock Quorvane vault");
}

TEST(MacFindPresenceKeyForUse, ReportsUnavailabilityBeforeLookingForTheKey) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    platform.canEvaluate = false;
    platform.canEvaluateError = PlatformError("polkit is not running on the system bus");
    EXPECT_EQ(errorText([&] { findPresenceKeyForUse(keys, {"x"}); }),
              "unavailable: polkit is not running on the system bus");
    for (const auto& call : platform.calls) EXPECT_NE(call.operation, "itemCopyMatching");
}

TEST(MacFindPresenceKeyForUse, TellsAMissingKeyFromOtherStatuses) {
    struct Case {
        std::optional<platform::OSStatus> status;  // scripted lookup status; none: real lookup
        const char* expected;
    };
    const Case cases[] = {
        {std::nullopt, "secure enclave key missing"},
        {platform::errSecItemNotFound, "secure enclave key missing"},
        {-25308, "secure enclave key load failed: -25308"},
        {-40005, "secure enclave key load failed: -40005"},
        {7, "secure enclave key load failed: 7"},
        // Success that brought no reference is a failure too.
        {platform::errSecSuccess, "secure enclave key load failed: 0"},
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform::MacKeyStore keys(platform);
        if (c.status) platform.scriptStatus("itemCopyMatching", *c.status);
        EXPECT_EQ(errorText([&] { findPresenceKeyForUse(keys, {"x"}); }), c.expected);
    }
}

TEST(MacDeletePresenceKey, RemovesByTheBaseQueryAndAcceptsAMissingKey) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    findOrCreatePresenceKey(keys);
    platform.calls.clear();
    deletePresenceKey(keys);
    EXPECT_TRUE(platform.items.empty());
    EXPECT_EQ(expectBaseQuery(onlyCall(platform, "itemDelete").attributes), 0u);
    // Nothing left: deleting again still succeeds.
    EXPECT_EQ(errorText([&] { deletePresenceKey(keys); }), "<succeeded>");
}

TEST(MacDeletePresenceKey, ReportsOtherStatusesInSignedDecimal) {
    for (platform::OSStatus status : {-25308, -1, 13}) {
        FakePlatform platform;
        platform::MacKeyStore keys(platform);
        platform.scriptStatus("itemDelete", status);
        EXPECT_EQ(errorText([&] { deletePresenceKey(keys); }),
                  "secure enclave key delete failed: " + std::to_string(status));
    }
}

}  // namespace
}  // namespace quorvane
