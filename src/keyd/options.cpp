#include "keyd/options.h"

#include <charconv>

#include "platform/tpm/tcti.h"

namespace quorvane::keyd {

std::optional<Options> parseOptions(const std::vector<std::string_view>& arguments,
                                    std::string* problem) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view name = arguments[i];
        if (name != "--state-directory" && name != "--tpm" && name != "--idle-exit") {
            *problem = "unknown option " + std::string(name);
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            *problem = std::string(name) + " needs a value";
            return std::nullopt;
        }
        const std::string_view value = arguments[++i];
        if (name == "--state-directory") {
            options.stateDirectory = std::string(value);
        } else if (name == "--tpm") {
            if (!platform::tpm::parseTcti(value)) {
                *problem = "--tpm takes " + std::string(platform::tpm::kTctiForms);
                return std::nullopt;
            }
            options.tpm = std::string(value);
        } else {
            unsigned seconds = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error != std::errc() || end != value.data() + value.size() || seconds == 0 ||
                seconds > 86400) {
                *problem = "--idle-exit takes a number of seconds from 1 to 86400";
                return std::nullopt;
            }
            options.idleLimit = std::chrono::seconds(seconds);
        }
    }
    return options;
}

}  // namespace quorvane::keyd
