#include "platform/tpm/tss_library.h"

#include <stdlib.h>

#include "os/shared_library.h"

namespace quorvane::platform::tpm {
namespace {

const TssLibrary* load() {
    // tpm2-tss writes its errors to standard error, where the request server must stay silent
    // and --check must print nothing; our callers report every failure themselves. A person
    // debugging the stack can still ask for its log explicitly.
    setenv("TSS2_LOG", "all+NONE", 0);
    // Sonames, not the unversioned development links, which only libtss2-dev installs.
    void* tctildr = os::openSharedLibrary("libtss2-tctildr.so.0");
    void* esys = os::openSharedLibrary("libtss2-esys.so.0");
    void* mu = os::openSharedLibrary("libtss2-mu.so.0");
    void* rc = os::openSharedLibrary("libtss2-rc.so.0");
    if (tctildr == nullptr || esys == nullptr || mu == nullptr || rc == nullptr) return nullptr;
    static TssLibrary api;
    const bool complete =
        QUORVANE_RESOLVE(tctildr, api, Tss2_TctiLdr_Initialize) &&
        QUORVANE_RESOLVE(tctildr, api, Tss2_TctiLdr_Finalize) &&
        QUORVANE_RESOLVE(esys, api, Esys_Initialize) &&
        QUORVANE_RESOLVE(esys, api, Esys_Finalize) && QUORVANE_RESOLVE(esys, api, Esys_Free) &&
        QUORVANE_RESOLVE(esys, api, Esys_CreatePrimary) &&
        QUORVANE_RESOLVE(esys, api, Esys_Create) && QUORVANE_RESOLVE(esys, api, Esys_Load) &&
        QUORVANE_RESOLVE(esys, api, Esys_StartAuthSession) &&
        QUORVANE_RESOLVE(esys, api, Esys_TRSess_SetAttributes) &&
        QUORVANE_RESOLVE(esys, api, Esys_ECDH_ZGen) &&
        QUORVANE_RESOLVE(esys, api, Esys_FlushContext) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PUBLIC_Marshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PRIVATE_Marshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
        QUORVANE_RESOLVE(rc, api, Tss2_RC_Decode);
    return complete ? &api : nullptr;
}

}  // namespace

const TssLibrary* tssLibrary() {
    static const TssLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform::tpm
