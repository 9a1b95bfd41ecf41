// Command-line rules of the secret commands that can be seen from inside the process: which
// argument is a flag's value, and what happens before any input is read.
#include "secrets/secret_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/fake_services.h"

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

// storeThatMustNotStart stands for an item store the command must not reach for.
platform::ItemStore& storeThatMustNotStart() {
    throw std::logic_error("the item store was started");
}

testing::FakeItemStore& sharedStore() {
    static testing::FakeItemStore store;
    return store;
}
platform::ItemStore& fakeProvider() { return sharedStore(); }

// withStandardInput runs `body` with `fd` as standard input, then puts the old one back.
template <class Body>
void withStandardInput(int fd, Body body) {
    int saved = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    body();
    dup2(saved, STDIN_FILENO);
    close(saved);
}

TEST(SecretCommandTest, MissingNamesGiveStatus5BeforeInputIsReadOrTheStoreStarts) {
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
        SecretCommandResult result;
        withStandardInput(input[0], [&] {
            result = runSecretCommand("store", arguments, storeThatMustNotStart);
        });
        EXPECT_EQ(result.status, 5);
        EXPECT_EQ(result.error, "missing keychain service or account");
        fcntl(input[0], F_SETFL, O_NONBLOCK);
        char left[16];
        EXPECT_EQ(read(input[0], left, sizeof left), 6) << "standard input was read";
        close(input[0]);
        close(input[1]);
    }
}

TEST(SecretCommandTest, UnknownCommandFailsWithStatus6) {
    std::vector<std::string_view> arguments = {"--service", "s", "--account", "a"};
    SecretCommandResult result = runSecretCommand("list", arguments, fakeProvider);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.error, "unknown secret command");
    // Names are checked first, whatever the command.
    std::vector<std::string_view> missing = {"--service", "s"};
    result = runSecretCommand("list", missing, fakeProvider);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.error, "missing keychain service or account");
}

TEST(SecretCommandTest, PlatformFailuresGiveTheirTextAndStatus6) {
    std::vector<std::string_view> arguments = {"--service", "s", "--account", "a"};
    sharedStore().failWith = "-40005";
    SecretCommandResult result = runSecretCommand("load", arguments, fakeProvider);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.error, "keychain secret load failed: -40005");
    EXPECT_TRUE(result.output.empty());
    result = runSecretCommand("delete", arguments, fakeProvider);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.error, "keychain secret delete failed: -40005");
}

}  // namespace
}  // namespace quorvane
