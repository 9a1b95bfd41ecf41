#include "crypto/sha256_kernel.h"

namespace quorvane {

const Sha256Kernel& sha256FastestKernel() {
    static const Sha256Kernel& kernel = []() -> const Sha256Kernel& {
        if (const Sha256Kernel* x86 = sha256X86ShaKernel()) return *x86;
        if (const Sha256Kernel* arm = sha256Arm64Kernel()) return *arm;
        return sha256PortableKernel();
    }();
    return kernel;
}

}  // namespace quorvane
