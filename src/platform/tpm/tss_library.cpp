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
        os::resolveSymbol(tctildr, "Tss2_TctiLdr_Initialize", api.Tss2_TctiLdr_Initialize) &&
        os::resolveSymbol(tctildr, "Tss2_TctiLdr_Finalize", api.Tss2_TctiLdr_Finalize) &&
        os::resolveSymbol(esys, "Esys_Initialize", api.Esys_Initialize) &&
        os::resolveSymbol(esys, "Esys_Finalize", api.Esys_Finalize) &&
        os::resolveSymbol(esys, "Esys_Free", api.Esys_Free) &&
        os::resolveSymbol(esys, "Esys_CreatePrimary", api.Esys_CreatePrimary) &&
        os::resolveSymbol(esys, "Esys_Create", api.Esys_Create) &&
        os::resolveSymbol(esys, "Esys_Load", api.Esys_Load) &&
        os::resolveSymbol(esys, "Esys_StartAuthSession", api.Esys_StartAuthSession) &&
        os::resolveSymbol(esys, "Esys_TRSess_SetAttributes", api.Esys_TRSess_SetAttributes) &&
        os::resolveSymbol(esys, "Esys_ECDH_ZGen", api.Esys_ECDH_ZGen) &&
        os::resolveSymbol(esys, "Esys_FlushContext", api.Esys_FlushContext) &&
        os::resolveSymbol(mu, "Tss2_MU_TPM2B_PUBLIC_Marshal", api.Tss2_MU_TPM2B_PUBLIC_Marshal) &&
        os::resolveSymbol(mu, "Tss2_MU_TPM2B_PUBLIC_Unmarshal",
                          api.Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
        os::resolveSymbol(mu, "Tss2_MU_TPM2B_PRIVATE_Marshal", api.Tss2_MU_TPM2B_PRIVATE_Marshal) &&
        os::resolveSymbol(mu, "Tss2_MU_TPM2B_PRIVATE_Unmarshal",
                          api.Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
        os::resolveSymbol(rc, "Tss2_RC_Decode", api.Tss2_RC_Decode);
    return complete ? &api : nullptr;
}

}  // namespace

const TssLibrary* tssLibrary() {
    static const TssLibrary* const api = load();
    return api;
}

}  // namespace quorvane::platform::tpm
