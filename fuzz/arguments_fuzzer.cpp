// The command-line rules on any argument list (the input's NUL-separated pieces, as the kernel
// hands arguments over): the mode is the first flag of the fixed order present as a whole
// argument, and a flag's value is the argument right after its first occurrence, whatever it is.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "front/mode_selection.h"
#include "secrets/secret_command.h"

namespace {

using quorvane::Mode;

std::vector<std::string_view> split(std::string_view input) {
    std::vector<std::string_view> arguments;
    if (input.empty()) return arguments;
    for (;;) {
        std::size_t end = input.find('\0');
        arguments.push_back(input.substr(0, end));
        if (end == std::string_view::npos) return arguments;
        input.remove_prefix(end + 1);
    }
}

bool has(const std::vector<std::string_view>& arguments, std::string_view flag) {
    for (std::string_view argument : arguments) {
        if (argument == flag) return true;
    }
    return false;
}

Mode expectedMode(const std::vector<std::string_view>& arguments) {
    if (has(arguments, "--secret-store")) return Mode::secretStore;
    if (has(arguments, "--secret-load")) return Mode::secretLoad;
    if (has(arguments, "--secret-delete")) return Mode::secretDelete;
    if (has(arguments, "--serve")) return Mode::serve;
    if (has(arguments, "--check")) return Mode::check;
    if (has(arguments, "--delete-key")) return Mode::deleteKey;
    if (has(arguments, "--help")) return Mode::help;
    if (has(arguments, "--version")) return Mode::version;
    return Mode::prompt;
}

std::optional<std::string_view> expectedValue(const std::vector<std::string_view>& arguments,
                                              std::string_view flag) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != flag) continue;
        if (i + 1 == arguments.size()) return std::nullopt;
        return arguments[i + 1];
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto arguments = split({reinterpret_cast<const char*>(data), size});
    if (quorvane::chooseMode(arguments) != expectedMode(arguments)) std::abort();
    std::vector<std::string_view> flags = {"--service", "--account"};
    if (!arguments.empty()) flags.push_back(arguments.front());
    for (std::string_view flag : flags) {
        auto value = quorvane::argumentValue(arguments, flag);
        auto want = expectedValue(arguments, flag);
        if (value.has_value() != want.has_value()) std::abort();
        // The value is the argument itself, not a copy: it must point into the argument list.
        if (value && (value->data() != want->data() || value->size() != want->size())) std::abort();
    }
    return 0;
}
