// Command-line rules of the secret commands that can be seen from inside the process: which
// argument is a flag's value, and what happens before any input is read.
#include "keychain/secret_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"

namespace quorvane {
namespace {

TEST(ArgumentValueTest, TakesTheArgumentAfterTheFirstWholeFlag) {
    struct Case {
        std::vector<std::string_view> arguments;
        std::string_view flag;
        std::optional<std::string_view> value;
    };
    const Case cases[] = {
        {{"--secret-load", "--service", "s", "--account", "a"}, "--service", "s"},
        {{"--secret-load", "--service", "s", "--account", "a"}, "--account", "a"},
        {{"--account", "a", "--service", "s"}, "--service", "s"},
        {{"--service"}, "--service", std::nullopt},
        {{"--account", "a", "--service"}, "--service", std::nullopt},
        {{"--service", ""}, "--service", ""},
        {{"--service", " "}, "--service", " "},
        {{"--service=s"}, "--service", std::nullopt},
        {{"--services", "s"}, "--service", std::nullopt},
        {{"-service", "s"}, "--service", std::nullopt},
        // The follower is the value even when it is itself a flag ...
        {{"--service", "--account", "name"}, "--service", "--account"},
        // ... and that argument still counts as the flag it spells.
        {{"--service", "--account", "name"}, "--account", "name"},
        // Only the first occurrence is looked at.
        {{"--service", "a", "--service", "b"}, "--service", "a"},
        {{"--service", "a", "--service"}, "--service", "a"},
        {{}, "--service", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(argumentValue(c.arguments, c.flag), c.value)
            << c.flag << " in " << c.arguments.size() << " arguments";
    }
}

platform::Platform& platformThatMustNotStart() {
    // Exit status 42 tells the test that the platform was asked for.
    std::_Exit(42);
}

platform::FakePlatform& sharedFake() {
    static platform::FakePlatform fake;
    return fake;
}
platform::Platform& fakeProvider() { return sharedFake(); }

class SecretCommandTest : public ::testing::Test {
  protected:
    // fork keeps the pipes below shared with the child, so the test can see what it left unread.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_F(SecretCommandTest, MissingNamesEndWithStatus5BeforeInputIsReadOrPlatformStarts) {
    const std::vector<std::vector<std::string_view>> cases = {
        {"--secret-store", "--service", "s"},
        {"--secret-store", "--account", "a"},
        {"--secret-store", "--account", "a", "--service"},
        {"--secret-store", "--service", "", "--account", "a"},
        {"--secret-store", "--service", "s", "--account", ""},
        {"--secret-store", "--service=s", "--account=a"},
    };
    for (const auto& arguments : cases) {
        int input[2];
        ASSERT_EQ(pipe(input), 0);
        ASSERT_EQ(write(input[1], "secret", 6), 6);
        EXPECT_EXIT(
            {
                dup2(input[0], STDIN_FILENO);
                runSecretCommand("store", arguments, platformThatMustNotStart);
            },
            ::testing::ExitedWithCode(5), "^missing keychain service or account\n$");
        fcntl(input[0], F_SETFL, O_NONBLOCK);
        char left[16];
        EXPECT_EQ(read(input[0], left, sizeof left), 6) << "standard input was read";
        close(input[0]);
        close(input[1]);
    }
}

TEST_F(SecretCommandTest, UnknownCommandFailsWithStatus6) {
    std::vector<std::string_view> arguments = {"--service", "s", "--account", "a"};
    EXPECT_EXIT(runSecretCommand("list", arguments, fakeProvider), ::testing::ExitedWithCode(6),
                "^unknown secret command\n$");
    // Names are checked first, whatever the command.
    std::vector<std::string_view> missing = {"--service", "s"};
    EXPECT_EXIT(runSecretCommand("list", missing, fakeProvider), ::testing::ExitedWithCode(5),
                "^missing keychain service or account\n$");
}

TEST_F(SecretCommandTest, PlatformFailuresEndWithTheirTextAndStatus6) {
    std::vector<std::string_view> arguments = {"--service", "s", "--account", "a"};
    sharedFake().scriptStatus("itemCopyMatching", -25308);
    EXPECT_EXIT(runSecretCommand("load", arguments, fakeProvider), ::testing::ExitedWithCode(6),
                "^keychain secret load failed: -25308\n$");
    sharedFake().scriptStatus("itemDelete", -40005);
    EXPECT_EXIT(runSecretCommand("delete", arguments, fakeProvider), ::testing::ExitedWithCode(6),
                "^keychain secret delete failed: -40005\n$");
}

}  // namespace
}  // namespace quorvane
