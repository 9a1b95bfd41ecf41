#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tpm/tss_library.h"

// Where a TPM is reached, written as tpm2-tss writes a TCTI: "<module>:<configuration>". Only
// three modules are accepted, each mapped to its library here: "device:<path>" (the kernel's
// device, /dev/tpmrm0 on a machine), "swtpm:<key=value,...>" and "mssim:<key=value,...>" (the
// software TPMs of test suites). Anything else, a module named by a path or a library name in
// particular, is refused rather than handed to a loader.
namespace quorvane::platform::tpm {

struct Tcti {
    TctiKind kind = TctiKind::device;
    std::string configuration;  // what follows the colon, as the module reads it
};

// parseTcti returns the TCTI written in `text`, or nothing when it is not one of the accepted
// forms (an unknown module, or an empty configuration).
std::optional<Tcti> parseTcti(std::string_view text);

// kTctiForms names the accepted forms, for the reason given when a TCTI is refused.
inline constexpr std::string_view kTctiForms = "device:<path>, swtpm:<options> or mssim:<options>";

}  // namespace quorvane::platform::tpm
