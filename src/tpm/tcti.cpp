#include "tpm/tcti.h"

namespace quorvane::platform::tpm {

std::optional<Tcti> parseTcti(std::string_view text) {
    struct Form {
        std::string_view prefix;
        TctiKind kind;
    };
    static constexpr Form kForms[] = {
        {"device:", TctiKind::device}, {"swtpm:", TctiKind::swtpm}, {"mssim:", TctiKind::mssim}};
    for (const Form& form : kForms) {
        if (text.substr(0, form.prefix.size()) != form.prefix) continue;
        std::string_view configuration = text.substr(form.prefix.size());
        // A NUL would cut the configuration short where the module reads it as a C string.
        if (configuration.empty() || configuration.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        return Tcti{form.kind, std::string(configuration)};
    }
    return std::nullopt;
}

}  // namespace quorvane::platform::tpm
