// Whether presence can be asked for, whether a presence key can be made, and the bare prompt, on
// the plain fakes.
#include "presence/prompt.h"

#include <gtest/gtest.h>

#include "support/error_text.h"
#include "support/fake_services.h"

namespace quorvane {
namespace {

using testing::errorText;
using testing::ScriptedKeyStore;
using testing::ScriptedPresence;

TEST(PresencePrompt, AvailabilityAndTheBarePromptReportThePlatformsReason) {
    ScriptedPresence presence;
    EXPECT_EQ(errorText([&] { requirePromptAvailable(presence); }), "<succeeded>");
    EXPECT_TRUE(promptOnly(presence, -1));
    EXPECT_EQ(presence.lastReason, "Unlock Quorvane vault");

    presence.passes = false;
    EXPECT_FALSE(promptOnly(presence, -1));

    presence.unavailable = "no polkit authentication agent";
    EXPECT_EQ(errorText([&] { requirePromptAvailable(presence); }),
              "unavailable: no polkit authentication agent");
    EXPECT_EQ(errorText([&] { promptOnly(presence, -1); }),
              "unavailable: no polkit authentication agent");
    EXPECT_EQ(presence.prompts, 2) << "nothing is shown when presence cannot be offered";
}

TEST(PresencePrompt, CanMakePresenceKeyFollowsTheStoreAndStoresNothing) {
    ScriptedPresence presence;
    ScriptedKeyStore keys(presence);
    EXPECT_TRUE(canMakePresenceKey(keys));
    keys.canCreateAnswer = false;
    EXPECT_FALSE(canMakePresenceKey(keys));
    EXPECT_EQ(keys.creates, 0);
    EXPECT_FALSE(keys.scalar.has_value());
}

}  // namespace
}  // namespace quorvane
