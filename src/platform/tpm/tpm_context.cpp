#include "platform/tpm/tpm_context.h"

#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/tpm/tcti.h"

namespace quorvane::platform::tpm {
namespace {

// deviceProblem says why a device's node cannot be used, which the device module only reports
// as an I/O failure; nothing when it can be opened.
std::string deviceProblem(const std::string& path) {
    if (access(path.c_str(), R_OK | W_OK) == 0) return {};
    const int error = errno;
    if (error == ENOENT) return "there is no TPM: " + path + " does not exist";
    return path + " cannot be opened (" + std::strerror(error) + ")";
}

}  // namespace

TpmContext::TpmContext(const std::string& tcti) : tss_(tssLibrary()) {
    const std::optional<Tcti> parsed = parseTcti(tcti);
    if (!parsed) {
        throw TpmFailure("the TPM \"" + tcti + "\" is not one this program can reach (only " +
                         std::string(kTctiForms) + ")");
    }
    if (tss_ == nullptr) {
        throw TpmFailure("the TPM software stack (libtss2-esys) cannot be loaded");
    }
    const TSS2_TCTI_INIT_FUNC init = tctiInit(parsed->kind);
    if (init == nullptr) {
        throw TpmFailure("the TPM transport library for " + tcti.substr(0, tcti.find(':')) +
                         " (libtss2-tcti) cannot be loaded");
    }
    if (parsed->kind == TctiKind::device) {
        if (std::string problem = deviceProblem(parsed->configuration); !problem.empty()) {
            throw TpmFailure(problem);
        }
    }
    const char* configuration = parsed->configuration.c_str();
    TSS2_RC rc = init(nullptr, &tctiSize_, configuration);
    if (rc == TSS2_RC_SUCCESS) {
        tcti_ = static_cast<TSS2_TCTI_CONTEXT*>(std::calloc(1, tctiSize_));
        if (tcti_ == nullptr) throw TpmFailure("the TPM cannot be opened (out of memory)");
        rc = init(tcti_, &tctiSize_, configuration);
    }
    if (rc != TSS2_RC_SUCCESS) {
        releaseTcti();
        throw TpmFailure("the TPM at " + tcti + " cannot be opened (" + tss_->Tss2_RC_Decode(rc) +
                         ")");
    }
    rc = tss_->Esys_Initialize(&esys_, tcti_, nullptr);
    if (rc != TSS2_RC_SUCCESS) {
        Tss2_Tcti_Finalize(tcti_);
        releaseTcti();
        throw TpmFailure("the TPM at " + tcti + " does not answer (" + tss_->Tss2_RC_Decode(rc) +
                         ")");
    }
}

TpmContext::~TpmContext() {
    // ESAPI leaves a TCTI it was given alone: ours is finalized and freed here.
    tss_->Esys_Finalize(&esys_);
    Tss2_Tcti_Finalize(tcti_);
    releaseTcti();
}

void TpmContext::releaseTcti() noexcept {
    if (tcti_ == nullptr) return;
    OPENSSL_cleanse(tcti_, tctiSize_);
    std::free(tcti_);
    tcti_ = nullptr;
}

void TpmContext::check(TSS2_RC rc, const char* what) const {
    if (rc == TSS2_RC_SUCCESS) return;
    throw TpmFailure(std::string(what) + " (" + tss_->Tss2_RC_Decode(rc) + ")");
}

void TpmContext::wipeResponse() const {
    TSS2_SYS_CONTEXT* sys = nullptr;
    if (tss_->Esys_GetSysContext(esys_, &sys) != TSS2_RC_SUCCESS || sys == nullptr) return;
    std::size_t size = 0;
    const std::uint8_t* parameters = nullptr;
    // Only a successful response has parameters; SAPI refuses the call after any other.
    if (tss_->Tss2_Sys_GetRpBuffer(sys, &size, &parameters) != TSS2_RC_SUCCESS) return;
    OPENSSL_cleanse(const_cast<std::uint8_t*>(parameters), size);
}

TransientHandle::~TransientHandle() {
    if (handle_ != ESYS_TR_NONE) context_.tss().Esys_FlushContext(context_.esys(), handle_);
}

void createStorageRoot(const TpmContext& context, TransientHandle& handle) {
    // The TCG's ECC P-256 storage key template: a restricted decryption key with an AES-128-CFB
    // inner wrapper, no scheme, and an all-zero unique field of the curve's size.
    TPM2B_PUBLIC in{};
    TPMT_PUBLIC& area = in.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT | TPMA_OBJECT_FIXEDTPM |
                            TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN |
                            TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA;
    TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_AES;
    ecc.symmetric.keyBits.aes = 128;
    ecc.symmetric.mode.aes = TPM2_ALG_CFB;
    ecc.scheme.scheme = TPM2_ALG_NULL;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    area.unique.ecc.x.size = 32;
    area.unique.ecc.y.size = 32;

    TPM2B_SENSITIVE_CREATE sensitive{};
    TPM2B_DATA outsideInfo{};
    TPML_PCR_SELECTION pcrs{};
    context.check(
        context.tss().Esys_CreatePrimary(context.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD,
                                         ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &in, &outsideInfo,
                                         &pcrs, handle.out(), nullptr, nullptr, nullptr, nullptr),
        "the TPM cannot make its storage root key");
}

}  // namespace quorvane::platform::tpm
