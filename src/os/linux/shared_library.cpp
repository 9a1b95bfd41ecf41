#include "os/shared_library.h"

#include <dlfcn.h>

namespace quorvane::os {

void* openSharedLibrary(const char* soname) noexcept {
    // RTLD_NODELETE: GLib, for one, registers types and threads that must never be unmapped.
    return ::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

void* findSymbol(void* library, const char* name) noexcept {
    return library == nullptr ? nullptr : ::dlsym(library, name);
}

}  // namespace quorvane::os
