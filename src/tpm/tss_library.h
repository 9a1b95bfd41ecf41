#pragma once

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_sys.h>
#include <tss2/tss2_tcti.h>

// The TPM software stack (tpm2-tss) is loaded only when the key store first talks to the TPM.
// Linking it would make every start of the helper load libtss2-esys, libtss2-sys, libtss2-mu and
// a second, shared copy of libcrypto (we link OpenSSL statically), although only the presence-key
// commands need them; and a machine without libtss2 would not start the helper at all.
namespace quorvane::platform::tpm {

// The tpm2-tss entry points the TPM code uses, resolved at run time.
struct TssLibrary {
    decltype(&::Esys_Initialize) Esys_Initialize;
    decltype(&::Esys_Finalize) Esys_Finalize;
    decltype(&::Esys_Free) Esys_Free;
    decltype(&::Esys_GetSysContext) Esys_GetSysContext;
    decltype(&::Esys_TR_SetAuth) Esys_TR_SetAuth;
    decltype(&::Esys_CreatePrimary) Esys_CreatePrimary;
    decltype(&::Esys_Create) Esys_Create;
    decltype(&::Esys_Load) Esys_Load;
    decltype(&::Esys_StartAuthSession) Esys_StartAuthSession;
    decltype(&::Esys_TRSess_SetAttributes) Esys_TRSess_SetAttributes;
    decltype(&::Esys_ECDH_ZGen) Esys_ECDH_ZGen;
    decltype(&::Esys_FlushContext) Esys_FlushContext;
    decltype(&::Esys_ContextSave) Esys_ContextSave;
    decltype(&::Esys_ContextLoad) Esys_ContextLoad;
    decltype(&::Esys_TR_GetName) Esys_TR_GetName;
    decltype(&::Tss2_Sys_GetRpBuffer) Tss2_Sys_GetRpBuffer;
    decltype(&::Tss2_MU_TPM2B_PUBLIC_Marshal) Tss2_MU_TPM2B_PUBLIC_Marshal;
    decltype(&::Tss2_MU_TPM2B_PUBLIC_Unmarshal) Tss2_MU_TPM2B_PUBLIC_Unmarshal;
    decltype(&::Tss2_MU_TPM2B_PRIVATE_Marshal) Tss2_MU_TPM2B_PRIVATE_Marshal;
    decltype(&::Tss2_MU_TPM2B_PRIVATE_Unmarshal) Tss2_MU_TPM2B_PRIVATE_Unmarshal;
    decltype(&::Tss2_RC_Decode) Tss2_RC_Decode;
};

// tssLibrary loads the tpm2-tss libraries on first call and returns their entry points, or
// nullptr when a library or an entry point is missing (there is then no TPM key store). The
// libraries stay loaded for the life of the process. Thread-safe.
const TssLibrary* tssLibrary();

// The transport to a TPM: one of the TCTI modules of tpm2-tss, each a library of its own. Only
// these three exist for us; a TCTI is never chosen by a library name taken from outside.
enum class TctiKind { device, swtpm, mssim };

// tctiInit returns the Tss2_Tcti_<Kind>_Init function of the module for `kind`, loading its
// library on first call, or nullptr when it is not installed. Thread-safe.
TSS2_TCTI_INIT_FUNC tctiInit(TctiKind kind);

}  // namespace quorvane::platform::tpm
