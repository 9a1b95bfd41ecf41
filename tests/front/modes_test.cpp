// Mode selection through the binary: whole-argument flags, tested in a fixed order.
#include <gtest/gtest.h>

#include "base/errors.h"
#include "support/helper_process.h"

namespace quorvane::testing {
namespace {

TEST(ModesTest, TheFirstFlagInTheFixedOrderDecides) {
    TempDir home;
    // No system bus here, so the presence modes report "unavailable" — enough to tell which ran.
    const EnvironmentOverrides env = {
        {"XDG_DATA_HOME", home.path()},
        {"QUORVANE_TEST_SYSTEM_BUS", "unix:path=" + home.path() + "/none"}};
    struct Case {
        std::vector<std::string> arguments;
        std::string input;
        int status;
        std::string outPrefix;
        std::string errPrefix;
    };
    const Case cases[] = {
        {{"--check", "--serve"}, "", 0, "{\"ready\":true}\n", ""},
        {{"--secret-load", "--serve"}, "", 5, "", "missing keychain service or account\n"},
        {{"--serve", "--secret-delete"}, "", 5, "", "missing keychain service or account\n"},
        {{"--delete-key", "--check"}, "", 3, "", "unavailable: "},
        {{"--check"}, "", 3, "", "unavailable: "},
        {{"--serve=1"}, "", 1, "", "unavailable: "},
        {{"-serve", "check"}, "", 1, "", "unavailable: "},
        {{}, "", 1, "", "unavailable: "},
        // --help and --version answer on standard output without asking anybody, and only when
        // no mode flag is present.
        {{"--help"}, "", 0, "Usage: quorvane-helper MODE\n", ""},
        {{"--version", "extra"}, "", 0, "quorvane-helper " QUORVANE_VERSION "\n", ""},
        {{"--help", "--version"}, "", 0, "Usage: ", ""},
        {{"--help", "--serve"}, "", 0, "{\"ready\":true}\n", ""},
        {{"--version", "--check"}, "", 3, "", "unavailable: "},
        {{"-help"}, "", 1, "", "unavailable: "},
    };
    for (const Case& c : cases) {
        RunResult result = runHelper(c.arguments, c.input, env);
        std::string label = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result.status, c.status) << label;
        EXPECT_EQ(result.out.substr(0, c.outPrefix.size()), c.outPrefix) << label;
        EXPECT_EQ(result.err.substr(0, c.errPrefix.size()), c.errPrefix)
            << label << ": " << result.err;
        if (c.status != 0) {
            EXPECT_EQ(result.out, "") << label;
        } else {
            EXPECT_EQ(result.err, "") << label;
        }
    }
}

TEST(StringErrorTest, GivesEachErrorItsOwnTextUnchanged) {
    EXPECT_EQ(stringError(HelperError("")), "");
    EXPECT_EQ(stringError(HelperError("vault session missing")), "vault session missing");
    EXPECT_EQ(stringError(PlatformError("The operation could not be completed")),
              "The operation could not be completed");
    EXPECT_EQ(stringError(std::bad_alloc()), "out of memory");
}

}  // namespace
}  // namespace quorvane::testing
