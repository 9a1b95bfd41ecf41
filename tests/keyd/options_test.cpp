// The key service's command line: what a unit file or a test suite may pass, and the refusals
// that keep a mistyped option from starting a service with a default nobody meant.
#include "keyd/options.h"

#include <gtest/gtest.h>

namespace quorvane::keyd {
namespace {

std::optional<Options> parse(std::vector<std::string_view> arguments, std::string* problem) {
    return parseOptions(arguments, problem);
}

TEST(KeydOptions, NoArgumentsGiveThePackagedDefaults) {
    std::string problem;
    std::optional<Options> options = parse({}, &problem);
    ASSERT_TRUE(options) << problem;
    EXPECT_EQ(options->stateDirectory, "/var/lib/quorvane-keyd");
    EXPECT_EQ(options->tpm, "device:/dev/tpmrm0");
    EXPECT_EQ(options->idleLimit, std::chrono::seconds(30));
}

TEST(KeydOptions, EachOptionSetsItsValueAndTheLastOneCounts) {
    std::string problem;
    std::optional<Options> options =
        parse({"--tpm", "swtpm:path=/run/t/sock", "--state-directory", "/srv/keys", "--idle-exit",
               "1", "--idle-exit", "86400", "--tpm", "mssim:host=localhost,port=2321"},
              &problem);
    ASSERT_TRUE(options) << problem;
    EXPECT_EQ(options->stateDirectory, "/srv/keys");
    EXPECT_EQ(options->tpm, "mssim:host=localhost,port=2321");
    EXPECT_EQ(options->idleLimit, std::chrono::seconds(86400));
}

TEST(KeydOptions, RefusesWhatItDoesNotTakeAndSaysWhy) {
    const std::string idle = "--idle-exit takes a number of seconds from 1 to 86400";
    const std::string tpm = "--tpm takes device:<path>, swtpm:<options> or mssim:<options>";
    const struct {
        std::vector<std::string_view> arguments;
        std::string problem;
    } cases[] = {
        {{"--verbose"}, "unknown option --verbose"},
        {{"--state-directory=/x"}, "unknown option --state-directory=/x"},
        {{"/var/lib/x"}, "unknown option /var/lib/x"},
        {{"--tpm"}, "--tpm needs a value"},
        {{"--idle-exit", "5", "--state-directory"}, "--state-directory needs a value"},
        // A library by name or path would be loaded into a process that holds every key.
        {{"--tpm", "libtss2-tcti-evil.so"}, tpm},
        {{"--tpm", "/usr/lib/x86_64-linux-gnu/libtss2-tcti-device.so.0:/dev/tpm0"}, tpm},
        {{"--tpm", "tabrmd:bus_type=system"}, tpm},
        {{"--tpm", "device:"}, tpm},
        {{"--idle-exit", "0"}, idle},
        {{"--idle-exit", "86401"}, idle},
        {{"--idle-exit", "-1"}, idle},
        {{"--idle-exit", "30s"}, idle},
        {{"--idle-exit", " 30"}, idle},
        {{"--idle-exit", ""}, idle},
        {{"--idle-exit", "99999999999999999999"}, idle},
    };
    for (const auto& c : cases) {
        std::string problem;
        std::string joined;
        for (std::string_view argument : c.arguments) joined += std::string(argument) + " ";
        EXPECT_FALSE(parse(c.arguments, &problem)) << joined;
        EXPECT_EQ(problem, c.problem) << joined;
    }
}

}  // namespace
}  // namespace quorvane::keyd
