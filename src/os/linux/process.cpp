#include "os/process.h"

#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace quorvane::os {

void protectProcess() noexcept {
    // A crash must not write keys or plaintext to a core file.
    const rlimit noCore{0, 0};
    (void)::setrlimit(RLIMIT_CORE, &noCore);
    // Non-dumpable: /proc/<pid>/mem, /proc/<pid>/environ and friends become root-owned and ptrace
    // attach is refused to anyone without CAP_SYS_PTRACE, including the parent. It also keeps the
    // kernel from writing a core through a core_pattern pipe, which ignores RLIMIT_CORE.
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void quietLibraryLogs() noexcept { (void)::setenv("TSS2_LOG", "all+NONE", 0); }

}  // namespace quorvane::os
