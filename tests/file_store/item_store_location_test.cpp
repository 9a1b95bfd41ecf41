// Where the Linux item store lives, for each shape of the XDG and HOME variables.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "file_store/data_directory.h"
#include "file_store/item_store_environment.h"

namespace quorvane::platform {
namespace {

using quorvane::testing::ScopedEnvironment;

TEST(ItemStoreLocationTest, FollowsTheXdgConvention) {
    const std::string passwordHome = getpwuid(getuid())->pw_dir;
    struct Case {
        std::optional<std::string> dataHome;
        std::optional<std::string> home;
        std::string expected;
    };
    const Case cases[] = {
        {"/data", "/home/u", "/data/quorvane/keychain.sqlite3"},
        {"/data/", "/home/u", "/data/quorvane/keychain.sqlite3"},
        {"relative", "/home/u", "/home/u/.local/share/quorvane/keychain.sqlite3"},
        {"", "/home/u", "/home/u/.local/share/quorvane/keychain.sqlite3"},
        {std::nullopt, "/home/u", "/home/u/.local/share/quorvane/keychain.sqlite3"},
        {std::nullopt, "not/absolute", passwordHome + "/.local/share/quorvane/keychain.sqlite3"},
        {std::nullopt, std::nullopt, passwordHome + "/.local/share/quorvane/keychain.sqlite3"},
    };
    for (const Case& c : cases) {
        ScopedEnvironment dataHome("XDG_DATA_HOME", c.dataHome);
        ScopedEnvironment home("HOME", c.home);
        std::optional<std::filesystem::path> path = itemStorePath();
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(path->lexically_normal(), std::filesystem::path(c.expected))
            << c.dataHome.value_or("(unset)") << " " << c.home.value_or("(unset)");
    }
}

}  // namespace
}  // namespace quorvane::platform
