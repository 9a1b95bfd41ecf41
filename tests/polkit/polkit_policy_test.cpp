// The shipped policy file must name the action the helper asks about and show the helper's prompt
// text; a drift between them makes presence unlock unavailable or mislabelled.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/process_values.h"
#include "polkit/polkit_client.h"

namespace quorvane::platform {
namespace {

TEST(PolkitPolicyFile, DeclaresTheUnlockActionWithThePromptTextAndNoKeptAuthorization) {
    std::ifstream file(std::string(QUORVANE_SOURCE_DIR) + "/data/com.quorvane.helper.policy");
    ASSERT_TRUE(file) << "data/com.quorvane.helper.policy missing";
    std::stringstream text;
    text << file.rdbuf();
    const std::string policy = text.str();

    EXPECT_NE(policy.find("<action id=\"" + std::string(polkit::kUnlockAction) + "\">"),
              std::string::npos);
    EXPECT_NE(policy.find("<message>" + std::string(values::promptText) + "</message>"),
              std::string::npos);
    for (const char* kind : {"allow_any", "allow_inactive", "allow_active"}) {
        const std::string expected = std::string("<") + kind + ">auth_self</" + kind + ">";
        EXPECT_NE(policy.find(expected), std::string::npos) << kind;
    }
}

}  // namespace
}  // namespace quorvane::platform
