#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The key service's command line. Everything has a default that fits a packaged system; the
// options exist for an administrator's own layout and for test suites, which run the service
// against a software TPM and a private state directory.
namespace quorvane::keyd {

struct Options {
    // Where the keys are kept; systemd makes it (StateDirectory=).
    std::string stateDirectory = "/var/lib/quorvane-keyd";
    // The TPM, in one of the forms tpm/tcti.h accepts.
    std::string tpm = "device:/dev/tpmrm0";
    // How long the service stays without a call before it ends; the bus starts it again.
    std::chrono::milliseconds idleLimit{std::chrono::seconds(30)};
};

// parseOptions reads `arguments` (without the program name): --state-directory DIR, --tpm TCTI,
// --idle-exit SECONDS. Returns nothing, with the problem in `problem`, for an unknown option, a
// missing value, a TPM of a form not accepted, or a limit that is not a whole number of seconds
// from 1 to 86400.
std::optional<Options> parseOptions(const std::vector<std::string_view>& arguments,
                                    std::string* problem);

}  // namespace quorvane::keyd
