// Which access group the helper finds for each shape of entitlement value.
#include "macos/access_group.h"

#include <gtest/gtest.h>

#include "support/fake_security_framework.h"

namespace quorvane {
namespace {

using platform::EntitlementValue;
using List = std::vector<std::string>;

TEST(AccessGroupTest, FollowsTheBlankTextRules) {
    struct Case {
        const char* name;
        EntitlementValue value;
        std::optional<std::string> group;
    };
    const Case cases[] = {
        {"no entitlement", EntitlementValue{}, std::nullopt},
        {"first non-blank entry", List{"", "  ", "team.group", "other"}, "team.group"},
        {"entry kept untrimmed", List{" team.group "}, " team.group "},
        {"empty list", List{}, std::nullopt},
        {"all entries blank, nothing else tried", List{"", "\t\r\n", "\xc2\xa0"}, std::nullopt},
        {"text", std::string("team.group"), "team.group"},
        {"text kept untrimmed", std::string("\tg\n"), "\tg\n"},
        {"text of spaces", std::string("   "), std::nullopt},
        {"empty text", std::string(), std::nullopt},
        {"other type", platform::OtherEntitlementType{}, std::nullopt},
        // Unicode white space and line ends are blank ...
        {"unicode spaces", List{"\xe2\x80\x83\xe3\x80\x80", "g"}, "g"},
        {"line and paragraph separators", List{"\xe2\x80\xa8\xe2\x80\xa9\xc2\x85", "g"}, "g"},
        // ... but a zero-width space is a format character, not white space.
        {"zero-width space", List{"\xe2\x80\x8b", "g"}, "\xe2\x80\x8b"},
        // Bytes that are not UTF-8 are content, even an overlong form of a space.
        {"invalid byte", std::string("\xff"), "\xff"},
        {"overlong space", List{"\xc0\xa0", "g"}, "\xc0\xa0"},
    };
    for (const Case& c : cases) {
        platform::FakeSecurityFramework fake;
        fake.entitlement = c.value;
        EXPECT_EQ(helperKeychainAccessGroup(fake), c.group) << c.name;
        ASSERT_EQ(fake.calls.size(), 1u);
        EXPECT_EQ(fake.calls[0].text, "keychain-access-groups");
    }
}

TEST(AccessGroupTest, IsLookedUpAfreshEveryTime) {
    platform::FakeSecurityFramework fake;
    fake.entitlement = std::string("one");
    EXPECT_EQ(helperKeychainAccessGroup(fake), "one");
    fake.entitlement = std::string("two");
    EXPECT_EQ(helperKeychainAccessGroup(fake), "two");
    EXPECT_EQ(fake.calls.size(), 2u);
}

TEST(AccessGroupTest, AddsTheGroupOnlyWhenThereIsOne) {
    platform::FakeSecurityFramework fake;
    platform::AttributeSet set;
    set.set("kSecAttrService", std::string("svc"));
    addHelperKeychainAccessGroup(fake, set);
    EXPECT_EQ(set.size(), 1u);

    fake.entitlement = List{"", "team.group"};
    addHelperKeychainAccessGroup(fake, set);
    ASSERT_NE(set.get<std::string>("kSecAttrAccessGroup"), nullptr);
    EXPECT_EQ(*set.get<std::string>("kSecAttrAccessGroup"), "team.group");
    EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace quorvane
