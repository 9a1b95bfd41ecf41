// The Linux backend's item operations at the boundary: attribute sets in, statuses and results
// out, over a real store in a scratch data directory.
#include <gtest/gtest.h>

#include "platform/item_store_environment.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/sqlite_item_store.h"
#include "platform/linux/statuses.h"
#include "platform/linux/stored_key.h"
#include "support/helper_process.h"

namespace quorvane::platform {
namespace {

using quorvane::testing::ScopedEnvironment;
using quorvane::testing::TempDir;

const Bytes kTag = {'c', 'o', 'm', '.', 'q', 'v'};

AttributeSet password(const std::string& service, const std::string& account) {
    AttributeSet set;
    set.set(attr::kSecClass, value::kSecClassGenericPassword);
    set.set(attr::kSecAttrService, service);
    set.set(attr::kSecAttrAccount, account);
    return set;
}

AttributeSet keyQuery() {
    AttributeSet set;
    set.set(attr::kSecClass, value::kSecClassKey);
    set.set(attr::kSecAttrKeyType, value::kSecAttrKeyTypeECSECPrimeRandom);
    set.set(attr::kSecAttrApplicationTag, kTag);
    return set;
}

std::shared_ptr<const SecretBytes> secretData(std::string_view text) {
    return std::make_shared<const SecretBytes>(SecretBytes::copyOf(text));
}

class LinuxItemStoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnvironment dataHome{"XDG_DATA_HOME", dir.path()};
    LinuxPlatform platform;
};

TEST_F(LinuxItemStoreTest, GenericPasswordRoundTrip) {
    AttributeSet item = password("svc", "acct");
    item.set(attr::kSecValueData, secretData("secret\n"));
    item.set(attr::kSecAttrAccessible, value::kSecAttrAccessibleAfterFirstUnlock);
    EXPECT_EQ(platform.itemAdd(item), errSecSuccess);
    EXPECT_EQ(platform.itemAdd(item), errSecDuplicateItem);

    AttributeSet changes;
    changes.set(attr::kSecValueData, secretData("replaced"));
    EXPECT_EQ(platform.itemUpdate(password("svc", "acct"), changes), errSecSuccess);

    AttributeSet query = password("svc", "acct");
    query.set(attr::kSecMatchLimit, value::kSecMatchLimitOne);
    query.set(attr::kSecReturnData, true);
    query.set(attr::kSecUseAuthenticationUI, value::kSecUseAuthenticationUIFail);
    query.set(attr::kSecUseAuthenticationContext, std::shared_ptr<AuthContext>());
    ItemResult result;
    ASSERT_EQ(platform.itemCopyMatching(query, &result), errSecSuccess);
    ASSERT_TRUE(std::holds_alternative<SecretBytes>(result));
    EXPECT_EQ(std::get<SecretBytes>(result).view(), "replaced");

    // Without kSecReturnData a match only answers the status.
    ItemResult nothing;
    EXPECT_EQ(platform.itemCopyMatching(password("svc", "acct"), &nothing), errSecSuccess);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(nothing));

    EXPECT_EQ(platform.itemDelete(password("svc", "acct")), errSecSuccess);
    EXPECT_EQ(platform.itemDelete(password("svc", "acct")), errSecItemNotFound);
    ItemResult gone;
    EXPECT_EQ(platform.itemCopyMatching(query, &gone), errSecItemNotFound);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(gone));
}

TEST_F(LinuxItemStoreTest, AccessGroupIsPartOfTheIdentity) {
    AttributeSet grouped = password("svc", "acct");
    grouped.set(attr::kSecAttrAccessGroup, std::string("team"));
    AttributeSet item = grouped;
    item.set(attr::kSecValueData, secretData("in group"));
    ASSERT_EQ(platform.itemAdd(item), errSecSuccess);
    ItemResult result;
    EXPECT_EQ(platform.itemCopyMatching(password("svc", "acct"), &result), errSecItemNotFound);
    EXPECT_EQ(platform.itemDelete(password("svc", "acct")), errSecItemNotFound);
    EXPECT_EQ(platform.itemDelete(grouped), errSecSuccess);
}

// A valid P-256 private scalar.
const std::string kScalar(32, '\x01');

TEST_F(LinuxItemStoreTest, KeyItemsAreFoundByClassTypeAndTag) {
    AttributeSet item = keyQuery();
    item.set(attr::kSecValueData, secretData(kScalar));
    item.set(kStoredAccessControlFlags, std::int64_t{0x40000008});
    item.set(attr::kSecAttrTokenID, value::kSecAttrTokenIDSecureEnclave);
    item.set(attr::kSecAttrAccessControl,
             std::make_shared<AccessControl>(value::kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
                                             0x40000008));
    EXPECT_EQ(platform.itemAdd(item), errSecSuccess);
    EXPECT_EQ(platform.itemAdd(item), errSecDuplicateItem);

    AttributeSet query = keyQuery();
    query.set(attr::kSecReturnRef, true);
    ItemResult result;
    EXPECT_EQ(platform.itemCopyMatching(query, &result), errSecSuccess);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<Key>>(result));
    EXPECT_NE(std::get<std::shared_ptr<Key>>(result), nullptr);

    // What the key reference is made from, as kept.
    StoredItem stored;
    ASSERT_EQ(SqliteItemStore(std::filesystem::path(dir.path()) / "quorvane" / "keychain.sqlite3")
                  .find(KeyIdentity{"kSecAttrKeyTypeECSECPrimeRandom", kTag}, &stored),
              errSecSuccess);
    EXPECT_EQ(stored.value.view(), kScalar);
    EXPECT_EQ(stored.accessControlFlags, 0x40000008);

    AttributeSet otherTag = keyQuery();
    otherTag.set(attr::kSecAttrApplicationTag, Bytes{'x'});
    EXPECT_EQ(platform.itemCopyMatching(otherTag, &result), errSecItemNotFound);

    EXPECT_EQ(platform.itemDelete(keyQuery()), errSecSuccess);
    EXPECT_EQ(platform.itemDelete(keyQuery()), errSecItemNotFound);
    ItemResult gone;
    EXPECT_EQ(platform.itemCopyMatching(query, &gone), errSecItemNotFound);
}

TEST_F(LinuxItemStoreTest, KeyBytesThatMakeNoKeyAreDamageNotSuccess) {
    AttributeSet item = keyQuery();
    item.set(attr::kSecValueData, secretData("not a scalar"));
    ASSERT_EQ(platform.itemAdd(item), errSecSuccess);
    AttributeSet query = keyQuery();
    query.set(attr::kSecReturnRef, true);
    ItemResult result;
    EXPECT_EQ(platform.itemCopyMatching(query, &result), store_status::kCorrupt);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(result));
}

TEST_F(LinuxItemStoreTest, RefusesSetsThatDoNotNameOneKeptItem) {
    auto with = [](AttributeSet set, std::string_view name, AttributeValue value) {
        set.set(name, std::move(value));
        return set;
    };
    auto without = [](AttributeSet set, std::string_view name) {
        set.entries.erase(std::string(name));
        return set;
    };
    AttributeSet valued = with(password("s", "a"), attr::kSecValueData, secretData("v"));
    const std::pair<const char*, AttributeSet> adds[] = {
        {"no class", without(valued, attr::kSecClass)},
        {"unknown class", with(valued, attr::kSecClass, Constant{"kSecClassInternetPassword"})},
        {"class as text", with(valued, attr::kSecClass, std::string("kSecClassGenericPassword"))},
        {"no account", without(valued, attr::kSecAttrAccount)},
        {"service as data", with(valued, attr::kSecAttrService, Bytes{'s'})},
        {"group as a constant", with(valued, attr::kSecAttrAccessGroup, Constant{"g"})},
        {"no value", password("s", "a")},
        {"value as text", with(password("s", "a"), attr::kSecValueData, std::string("v"))},
        {"accessibility as text", with(valued, attr::kSecAttrAccessible, std::string("x"))},
        {"key without tag",
         with(without(keyQuery(), attr::kSecAttrApplicationTag), attr::kSecValueData, secretData("k"))},
        {"tag as text", with(with(keyQuery(), attr::kSecAttrApplicationTag, std::string("t")),
                             attr::kSecValueData, secretData("k"))},
        {"flags as bool",
         with(with(keyQuery(), kStoredAccessControlFlags, true), attr::kSecValueData, secretData("k"))},
    };
    for (const auto& [name, set] : adds) {
        EXPECT_EQ(platform.itemAdd(set), store_status::kBadAttributes) << name;
    }

    ASSERT_EQ(platform.itemAdd(valued), errSecSuccess);
    AttributeSet rename;
    rename.set(attr::kSecAttrAccount, std::string("b"));
    EXPECT_EQ(platform.itemUpdate(password("s", "a"), rename), store_status::kBadAttributes);

    ItemResult result;
    EXPECT_EQ(
        platform.itemCopyMatching(with(password("s", "a"), attr::kSecReturnRef, true), &result),
        store_status::kBadAttributes)
        << "a password has no reference form";
    EXPECT_EQ(platform.itemCopyMatching(with(keyQuery(), attr::kSecReturnData, true), &result),
              store_status::kBadAttributes)
        << "private key bytes never leave the store";
    EXPECT_EQ(platform.itemDelete(without(password("s", "a"), attr::kSecAttrService)),
              store_status::kBadAttributes);
}

}  // namespace
}  // namespace quorvane::platform
