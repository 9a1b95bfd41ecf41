#include "tpm/tss_library.h"

#include "os/shared_library.h"

namespace quorvane::platform::tpm {
namespace {

const TssLibrary* load() {
    // Sonames, not the unversioned development links, which only libtss2-dev installs.
    void* esys = os::openSharedLibrary("libtss2-esys.so.0");
    void* sys = os::openSharedLibrary("libtss2-sys.so.1");
    void* mu = os::openSharedLibrary("libtss2-mu.so.0");
    void* rc = os::openSharedLibrary("libtss2-rc.so.0");
    if (esys == nullptr || sys == nullptr || mu == nullptr || rc == nullptr) return nullptr;
    static TssLibrary api;
    const bool complete =
        QUORVANE_RESOLVE(esys, api, Esys_Initialize) &&
        QUORVANE_RESOLVE(esys, api, Esys_Finalize) && QUORVANE_RESOLVE(esys, api, Esys_Free) &&
        QUORVANE_RESOLVE(esys, api, Esys_GetSysContext) &&
        QUORVANE_RESOLVE(esys, api, Esys_TR_SetAuth) &&
        QUORVANE_RESOLVE(esys, api, Esys_CreatePrimary) &&
        QUORVANE_RESOLVE(esys, api, Esys_Create) && QUORVANE_RESOLVE(esys, api, Esys_Load) &&
        QUORVANE_RESOLVE(esys, api, Esys_StartAuthSession) &&
        QUORVANE_RESOLVE(esys, api, Esys_TRSess_SetAttributes) &&
        QUORVANE_RESOLVE(esys, api, Esys_ECDH_ZGen) &&
        QUORVANE_RESOLVE(esys, api, Esys_FlushContext) &&
        QUORVANE_RESOLVE(esys, api, Esys_ContextSave) &&
        QUORVANE_RESOLVE(esys, api, Esys_ContextLoad) &&
        QUORVANE_RESOLVE(esys, api, Esys_TR_GetName) &&
        QUORVANE_RESOLVE(sys, api, Tss2_Sys_GetRpBuffer) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PUBLIC_Marshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PUBLIC_Unmarshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PRIVATE_Marshal) &&
        QUORVANE_RESOLVE(mu, api, Tss2_MU_TPM2B_PRIVATE_Unmarshal) &&
        QUORVANE_RESOLVE(rc, api, Tss2_RC_Decode);
    return complete ? &api : nullptr;
}

template <TctiKind kind>
TSS2_TCTI_INIT_FUNC loadTcti() {
    const char* soname = kind == TctiKind::device  ? "libtss2-tcti-device.so.0"
                         : kind == TctiKind::swtpm ? "libtss2-tcti-swtpm.so.0"
                                                   : "libtss2-tcti-mssim.so.0";
    const char* symbol = kind == TctiKind::device  ? "Tss2_Tcti_Device_Init"
                         : kind == TctiKind::swtpm ? "Tss2_Tcti_Swtpm_Init"
                                                   : "Tss2_Tcti_Mssim_Init";
    TSS2_TCTI_INIT_FUNC init = nullptr;
    os::resolveSymbol(os::openSharedLibrary(soname), symbol, init);
    return init;
}

}  // namespace

const TssLibrary* tssLibrary() {
    static const TssLibrary* const api = load();
    return api;
}

TSS2_TCTI_INIT_FUNC tctiInit(TctiKind kind) {
    switch (kind) {
        case TctiKind::device: {
            static const TSS2_TCTI_INIT_FUNC init = loadTcti<TctiKind::device>();
            return init;
        }
        case TctiKind::swtpm: {
            static const TSS2_TCTI_INIT_FUNC init = loadTcti<TctiKind::swtpm>();
            return init;
        }
        case TctiKind::mssim:
            break;
    }
    static const TSS2_TCTI_INIT_FUNC init = loadTcti<TctiKind::mssim>();
    return init;
}

}  // namespace quorvane::platform::tpm
