// The presence check, the hardware-key probe and the bare prompt, through the macOS adapters over
// the fake framework.
#include "platform/macos/mac_presence.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "platform/macos/mac_key_store.h"
#include "presence/prompt.h"
#include "support/error_text.h"
#include "support/fake_security_framework.h"

namespace quorvane {
namespace {

using FakePlatform = platform::FakeSecurityFramework;
namespace attr = platform::attr;
namespace value = platform::value;

using quorvane::testing::errorText;

TEST(MacRequirePromptAvailable, HandsOutAContextOnlyWhenPresenceCanBeAskedFor) {
    FakePlatform platform;
    platform::MacPresence presence(platform);
    EXPECT_NO_THROW(requirePromptAvailable(presence));
    // Checked, not evaluated: nobody was asked anything.
    EXPECT_EQ(platform.operations(),
              (std::vector<std::string>{"createAuthContext", "canEvaluatePolicy"}));
    EXPECT_EQ(platform.promptCount, 0);
}

TEST(MacRequirePromptAvailable, UnavailableCarriesThePlatformsReasonOrNoBiometrics) {
    struct Case {
        std::optional<PlatformError> reason;
        const char* expected;
    };
    const Case cases[] = {
        {PlatformError("polkit is not running on the system bus"),
         "unavailable: polkit is not running on the system bus"},
        {std::nullopt, "unavailable: no biometrics"},
        {PlatformError(""), "unavailable: "},
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform.canEvaluate = false;
        platform.canEvaluateError = c.reason;
        platform::MacPresence presence(platform);
        EXPECT_EQ(errorText([&] { requirePromptAvailable(presence); }), c.expected);
    }
}

TEST(MacCanMakePresenceKey, ProbesWithANonPermanentKeyAndStoresNothing) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    EXPECT_TRUE(canMakePresenceKey(keys));
    EXPECT_TRUE(canMakePresenceKey(keys));
    EXPECT_TRUE(platform.items.empty());
    ASSERT_EQ(platform.operations(),
              (std::vector<std::string>{"keyCreateRandomKey", "keyCreateRandomKey"}));

    const platform::AttributeSet& probe = platform.calls[0].attributes;
    EXPECT_EQ(probe.size(), 4u);
    EXPECT_EQ(*probe.get<platform::Constant>(attr::kSecAttrKeyType),
              value::kSecAttrKeyTypeECSECPrimeRandom);
    EXPECT_EQ(*probe.get<std::int64_t>(attr::kSecAttrKeySizeInBits), 256);
    EXPECT_EQ(*probe.get<platform::Constant>(attr::kSecAttrTokenID),
              value::kSecAttrTokenIDSecureEnclave);
    auto inner =
        probe.get<std::shared_ptr<const platform::AttributeSet>>(attr::kSecPrivateKeyAttrs);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ((*inner)->size(), 1u);
    EXPECT_EQ(*(*inner)->get<bool>(attr::kSecAttrIsPermanent), false);
}

TEST(MacCanMakePresenceKey, AnswersFalseWhenNoKeyCanBeMade) {
    FakePlatform platform;
    platform::MacKeyStore keys(platform);
    platform.keyCreateFails = true;
    platform.keyCreateError = PlatformError("no secure hardware");
    EXPECT_FALSE(canMakePresenceKey(keys));
    EXPECT_TRUE(platform.items.empty());
}

TEST(MacPromptOnly, ReturnsAfterAPassedPromptWithThePromptText) {
    FakePlatform platform;
    platform::MacPresence presence(platform);
    EXPECT_TRUE(promptOnly(presence, -1));
    EXPECT_EQ(platform.promptCount, 1);
    EXPECT_EQ(platform.lastPromptReason, "Unlock Quorvane vault");
    EXPECT_EQ(
        platform.operations(),
        (std::vector<std::string>{"createAuthContext", "canEvaluatePolicy", "evaluatePolicy"}));
}

TEST(MacPromptOnly, ShowsNoPromptWhenPresenceIsUnavailable) {
    FakePlatform platform;
    platform.canEvaluate = false;
    platform::MacPresence presence(platform);
    EXPECT_EQ(errorText([&] { promptOnly(presence, -1); }), "unavailable: no biometrics");
    EXPECT_EQ(platform.promptCount, 0);
}

TEST(MacPromptOnly, ARefusedPromptAnswersFalse) {
    FakePlatform platform;
    platform.promptPasses = false;
    platform::MacPresence presence(platform);
    EXPECT_FALSE(promptOnly(presence, -1));
    EXPECT_EQ(platform.promptCount, 1);
}

}  // namespace
}  // namespace quorvane
