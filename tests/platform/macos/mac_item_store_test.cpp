// The generic-secret store through the macOS item store adapter over the fake framework: the exact
// attribute sets it passes, the order of calls, and every message and status branch.
#include "platform/macos/mac_item_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <string>

#include "base/errors.h"
#include "keychain/generic_secret.h"
#include "support/fake_security_framework.h"

namespace quorvane {
namespace {

using platform::AttributeSet;
using FakePlatform = platform::FakeSecurityFramework;
using ::testing::ElementsAre;

// describe renders an attribute set as name -> readable value, so whole sets compare at once.
std::map<std::string, std::string> describe(const AttributeSet& set) {
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : set.entries) {
        std::string text;
        if (auto* c = std::get_if<platform::Constant>(&value))
            text = std::string(c->name);
        else if (auto* s = std::get_if<std::string>(&value))
            text = "text:" + *s;
        else if (auto* b = std::get_if<bool>(&value))
            text = *b ? "true" : "false";
        else if (auto* d = std::get_if<std::shared_ptr<const SecretBytes>>(&value))
            text = "data:" + std::string((*d)->view());
        else if (auto* x = std::get_if<std::shared_ptr<platform::AuthContext>>(&value))
            text = *x ? "context" : "null context";
        else
            text = "other";
        out[name] = text;
    }
    return out;
}

SecretBytes secret(std::string_view text) { return SecretBytes::copyOf(text); }

const std::map<std::string, std::string> kBase = {
    {"kSecClass", "kSecClassGenericPassword"},
    {"kSecAttrService", "text:svc"},
    {"kSecAttrAccount", "text:acct"},
};

std::map<std::string, std::string> plus(std::map<std::string, std::string> set,
                                        const std::map<std::string, std::string>& more) {
    set.insert(more.begin(), more.end());
    return set;
}

const std::map<std::string, std::string> kStoredValue = {
    {"kSecValueData", "data:pa ss\n"},
    {"kSecAttrAccessible", "kSecAttrAccessibleAfterFirstUnlock"},
};

const std::map<std::string, std::string> kLoadExtras = {
    {"kSecMatchLimit", "kSecMatchLimitOne"},
    {"kSecReturnData", "true"},
    {"kSecUseAuthenticationUI", "kSecUseAuthenticationUIFail"},
    {"kSecUseAuthenticationContext", "context"},
};

// Runs store, load and delete of one item and checks every attribute set the platform saw,
// with and without an access group.
class AttributeSetTest : public ::testing::TestWithParam<bool> {};

TEST_P(AttributeSetTest, PassesExactlyTheDocumentedSets) {
    const bool withGroup = GetParam();
    FakePlatform fake;
    platform::MacItemStore store(fake);
    if (withGroup) fake.entitlement = std::vector<std::string>{"team.group"};
    auto base = withGroup ? plus(kBase, {{"kSecAttrAccessGroup", "text:team.group"}}) : kBase;

    storeGenericSecret(store, "svc", "acct", secret("pa ss\n"));
    ASSERT_THAT(fake.operations(), ElementsAre("copyEntitlementValue", "itemUpdate", "itemAdd"));
    EXPECT_EQ(fake.calls[0].text, "keychain-access-groups");
    EXPECT_EQ(describe(fake.calls[1].attributes), base);
    EXPECT_EQ(describe(fake.calls[1].changes), kStoredValue);
    EXPECT_EQ(describe(fake.calls[2].attributes), plus(base, kStoredValue));

    fake.calls.clear();
    SecretBytes loaded = loadGenericSecret(store, "svc", "acct");
    EXPECT_EQ(loaded.view(), "pa ss\n");
    ASSERT_THAT(fake.operations(), ElementsAre("createAuthContext", "setInteractionNotAllowed",
                                               "copyEntitlementValue", "itemCopyMatching"));
    EXPECT_EQ(fake.calls[1].text, "true");
    EXPECT_EQ(describe(fake.calls[3].attributes), plus(base, kLoadExtras));

    fake.calls.clear();
    deleteGenericSecret(store, "svc", "acct");
    ASSERT_THAT(fake.operations(), ElementsAre("copyEntitlementValue", "itemDelete"));
    EXPECT_EQ(describe(fake.calls[1].attributes), base);
    EXPECT_TRUE(fake.items.empty());
}

INSTANTIATE_TEST_SUITE_P(GroupOrNone, AttributeSetTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithGroup" : "NoGroup"; });

TEST(MacGenericSecretTest, NoSetCarriesAnAccessGroupWithoutEntitlement) {
    for (platform::EntitlementValue none :
         {platform::EntitlementValue{}, platform::EntitlementValue{std::vector<std::string>{}},
          platform::EntitlementValue{std::string(" \n")},
          platform::EntitlementValue{platform::OtherEntitlementType{}}}) {
        FakePlatform fake;
        platform::MacItemStore store(fake);
        fake.entitlement = none;
        storeGenericSecret(store, "svc", "acct", secret("x"));
        storeGenericSecret(store, "svc", "acct", secret("y"));
        (void)loadGenericSecret(store, "svc", "acct");
        deleteGenericSecret(store, "svc", "acct");
        for (const auto& call : fake.calls) {
            EXPECT_FALSE(call.attributes.contains("kSecAttrAccessGroup")) << call.operation;
        }
    }
}

TEST(MacGenericSecretTest, StoringAgainReplacesTheValueWithoutASecondItem) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    storeGenericSecret(store, "svc", "acct", secret("first"));
    fake.calls.clear();
    storeGenericSecret(store, "svc", "acct", secret("second"));
    EXPECT_THAT(fake.operations(), ElementsAre("copyEntitlementValue", "itemUpdate"));
    ASSERT_EQ(fake.items.size(), 1u);
    EXPECT_EQ(loadGenericSecret(store, "svc", "acct").view(), "second");
}

TEST(MacGenericSecretTest, ValuesComeBackByteForByte) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    for (std::string_view value : {"", "line\n", " padded \t", "\xc3\xa9t\xc3\xa9 \xe2\x98\x83"}) {
        storeGenericSecret(store, "svc", "acct", secret(value));
        EXPECT_EQ(loadGenericSecret(store, "svc", "acct").view(), value);
    }
    // Names are used as given: a different spacing or case is another item.
    EXPECT_THROW(loadGenericSecret(store, "svc ", "acct"), HelperError);
    EXPECT_THROW(loadGenericSecret(store, "SVC", "acct"), HelperError);
}

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return stringError(error);
    }
    return "(no error)";
}

TEST(MacGenericSecretTest, ReportsEveryStatusBranch) {
    struct Case {
        const char* operation;  // the platform call whose status is scripted
        platform::OSStatus status;
        const char* action;  // "store", "load" or "delete"
        std::string message;
    };
    const Case cases[] = {
        {"itemUpdate", -25308, "store", "keychain secret update failed: -25308"},
        {"itemUpdate", 7, "store", "keychain secret update failed: 7"},
        {"itemUpdate", INT32_MIN, "store", "keychain secret update failed: -2147483648"},
        {"itemAdd", -34018, "store", "keychain secret store failed: -34018"},
        {"itemAdd", -40005, "store", "keychain secret store failed: -40005"},
        {"itemCopyMatching", -25300, "load", "keychain secret missing"},
        {"itemCopyMatching", -25308, "load", "keychain secret load failed: -25308"},
        {"itemCopyMatching", INT32_MAX, "load", "keychain secret load failed: 2147483647"},
        // Success with nothing in the result slot.
        {"itemCopyMatching", 0, "load", "invalid keychain secret data"},
        {"itemDelete", -25300, "delete", "(no error)"},
        {"itemDelete", 0, "delete", "(no error)"},
        {"itemDelete", -25244, "delete", "keychain secret delete failed: -25244"},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        platform::MacItemStore store(fake);
        fake.scriptStatus(c.operation, c.status);
        std::string action = c.action;
        std::string message = messageOf([&] {
            if (action == "store") storeGenericSecret(store, "svc", "acct", secret("v"));
            if (action == "load") (void)loadGenericSecret(store, "svc", "acct");
            if (action == "delete") deleteGenericSecret(store, "svc", "acct");
        });
        EXPECT_EQ(message, c.message) << c.operation << " " << c.status;
    }
}

TEST(MacGenericSecretTest, FailedUpdateIsNeverFollowedByAnAdd) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    fake.scriptStatus("itemUpdate", -25308);
    EXPECT_THROW(storeGenericSecret(store, "svc", "acct", secret("v")), HelperError);
    EXPECT_THAT(fake.operations(), ElementsAre("copyEntitlementValue", "itemUpdate"));
}

TEST(MacGenericSecretTest, AddThatMeetsAConcurrentItemStartsOverWithTheUpdate) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    fake.scriptStatus("itemAdd", platform::errSecDuplicateItem);
    storeGenericSecret(store, "svc", "acct", secret("mine"));
    EXPECT_THAT(fake.operations(), ElementsAre("copyEntitlementValue", "itemUpdate", "itemAdd",
                                               "itemUpdate", "itemAdd"));
    EXPECT_EQ(loadGenericSecret(store, "svc", "acct").view(), "mine");
}

TEST(MacGenericSecretTest, EndlessDuplicatesGiveUpWithTheStoreMessage) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    for (int i = 0; i < 100; ++i) fake.scriptStatus("itemAdd", platform::errSecDuplicateItem);
    EXPECT_EQ(messageOf([&] { storeGenericSecret(store, "svc", "acct", secret("v")); }),
              "keychain secret store failed: -25299");
    auto operations = fake.operations();
    EXPECT_EQ(std::count(operations.begin(), operations.end(), "itemAdd"), 8);
}

TEST(MacGenericSecretTest, RefusesASecretThatIsNotUtf8BeforeTouchingTheKeychain) {
    FakePlatform fake;
    platform::MacItemStore store(fake);
    EXPECT_EQ(messageOf([&] { storeGenericSecret(store, "svc", "acct", secret("a\xff")); }),
              "invalid secret utf8");
    EXPECT_TRUE(fake.calls.empty());
}

TEST(MacGenericSecretTest, StoredBytesThatAreNotUtf8AreInvalidData) {
    for (std::string_view stored : {"\xff", "ok\xc3", "\xed\xa0\x80" /* a surrogate */}) {
        FakePlatform fake;
        platform::MacItemStore store(fake);
        AttributeSet item;
        item.set("kSecClass", platform::value::kSecClassGenericPassword);
        item.set("kSecAttrService", std::string("svc"));
        item.set("kSecAttrAccount", std::string("acct"));
        item.set("kSecValueData",
                 Bytes(reinterpret_cast<const std::uint8_t*>(stored.data()),
                       reinterpret_cast<const std::uint8_t*>(stored.data()) + stored.size()));
        fake.items.push_back(item);
        EXPECT_EQ(messageOf([&] { (void)loadGenericSecret(store, "svc", "acct"); }),
                  "invalid keychain secret data");
    }
}

}  // namespace
}  // namespace quorvane
