#pragma once

// Libraries loaded at run time, by the backends that need them only when they are used: linking
// them would make every start of the helper pay for loading them, and the one-shot commands start
// once per secret.
namespace quorvane::os {

// openSharedLibrary loads the library `soname` (with all its symbols bound at once) and keeps it
// loaded for the life of the process, since objects made through it may outlive any caller.
// Returns its handle, or nullptr when it is not installed or cannot be loaded.
void* openSharedLibrary(const char* soname) noexcept;

// findSymbol returns the address of `name` in the library `library` or in the libraries it
// depends on, or nullptr when there is none.
void* findSymbol(void* library, const char* name) noexcept;

// resolveSymbol sets `out` to the function `name` of `library`; false (and `out` null) when it
// is missing.
template <class Function>
bool resolveSymbol(void* library, const char* name, Function& out) noexcept {
    out = reinterpret_cast<Function>(findSymbol(library, name));
    return out != nullptr;
}

}  // namespace quorvane::os

// QUORVANE_RESOLVE(library, api, name) resolves the member `name` of the function table `api` by
// that same name, so the looked-up text and the member cannot drift apart.
#define QUORVANE_RESOLVE(library, api, name) \
    ::quorvane::os::resolveSymbol(library, #name, (api).name)
