#include "os/cpu.h"

#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace quorvane::os {

bool armHasSha2() noexcept {
#if defined(__aarch64__) && defined(HWCAP_SHA2)
    return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
#else
    return false;
#endif
}

}  // namespace quorvane::os
