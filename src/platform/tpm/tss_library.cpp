#include "platform/tpm/tss_library.h"

#include <dlfcn.h>
#include <stdlib.h>

namespace quorvane::platform::tpm {
namespace {

template <class Function>
bool resolve(void* library, const char* name, Function& out) {
    out = reinterpret_cast<Function>(dlsym(library, name));
    return out != nullptr;
}

const TssLibrary* load() {
    // tpm2-tss writes its errors to standard error, where the request server must stay silent
    // and --check must print nothing; our callers report every failure themselves. A person
    // debugging the stack can still ask for its log explicitly.
    setenv("TSS2_LOG", "all+NONE", 0);
    // Sonames, not the unversioned development links, which only libtss2-dev installs.
    void* tctildr = dlopen("libtss2-tctildr.so.0", RTLD_NOW | RTLD_LOCAL);
    void* esys = dlopen("libtss2-esys.so.0", RTLD_NOW | RTLD_LOCAL);
    void* mu = dlopen("libtss2-mu.so.0", RTLD_NOW | RTLD_LOCAL);
    void* rc = dlopen("libtss2-rc.so.0", RTLD_NOW | RTLD_LOCAL);
    if (tctildr == nullptr || esys == nullptr || mu == nullptr || rc == nullptr) return nullptr;
    static TssLibrary api;
    const bool complete =
        resolve(tctildr, "Tss2_TctiLdr_Initialize", api.Tss2_TctiLdr_Initialize) &&
        resolve(tctildr, "Tss2_TctiLdr_Finalize", api.Tss2_TctiLdr_Finalize) &&
        resolve(esys, "Esys_Initialize", api.Esys_Initialize) &&
        resolve(esys, "Esys_Finalize", api.Esys_Finalize) &&
        resolve(esys, "Esys_Free", api.Esys_Free) &&
        resolve(esys, "Esys_CreatePrimary", api.Esys_CreatePrimary) &&
        resolve(esys, "Esys_Create", api.Esys_Create) &&
        resolve(esys, "Esys_Load", api.Esys_Load) &&
        resolve(esys, "Esys_StartAuthSession", api.Esys_StartAuthSession) &&
        resolve(esys, "Esys_TRSess_SetAttributes", api.Esys_TRSess_SetAttributes) &&
        resolve(esys, "Esys_ECDH_ZGen", api.Esys_ECDH_ZGen) &&
        resolve(esys, "Esys_FlushContext", api.Esys_FlushContext) &&
        resolve(mu, "Tss2_MU_TPM2B_PUBLIC_Marshal", api.Tss2_MU_TPM2B_PUBLIC_Marshal) &&
        resolve(mu, "Tss2_MU_TPM2B_PUBLIC_Unmarshal", api.Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
        resolve(mu, "Tss2_MU_TPM2B_PRIVATE_Marshal", api.Tss2_MU_TPM2B_PRIVATE_Marshal) &&
        resolve(mu, "Tss2_MU_TPM2B_PRIVATE_Unmarshal", api.Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
        resolve(rc, "Tss2_RC_Decode", api.Tss2_RC_Decode);
    return complete ? &api : nullptr;
}

}  // namespace

const TssLibrary* tssLibrary() {
    static const TssLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform::tpm
