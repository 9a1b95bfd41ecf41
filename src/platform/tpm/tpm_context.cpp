#include "platform/tpm/tpm_context.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane::platform::tpm {
namespace {

constexpr std::string_view kDevicePrefix = "device:";

// deviceProblem says why a "device:" TCTI's node cannot be used, which the TCTI loader only
// reports as an I/O failure; nothing when it can be opened or the TCTI is not a device.
std::string deviceProblem(const std::string& tcti) {
    if (tcti.rfind(kDevicePrefix, 0) != 0) return {};
    const std::string path = tcti.substr(kDevicePrefix.size());
    if (access(path.c_str(), R_OK | W_OK) == 0) return {};
    const int error = errno;
    if (error == ENOENT) return "there is no TPM: " + path + " does not exist";
    if (error == EACCES) {
        return path + " cannot be opened (" + std::strerror(error) +
               "; the device usually belongs to the group tss)";
    }
    return path + " cannot be opened (" + std::strerror(error) + ")";
}

}  // namespace

TpmContext::TpmContext(const std::string& tcti) : tss_(tssLibrary()) {
    if (tss_ == nullptr) {
        throw TpmFailure("the TPM software stack (libtss2-esys) cannot be loaded");
    }
    if (std::string problem = deviceProblem(tcti); !problem.empty()) throw TpmFailure(problem);
    TSS2_RC rc = tss_->Tss2_TctiLdr_Initialize(tcti.c_str(), &tcti_);
    if (rc != TSS2_RC_SUCCESS) {
        throw TpmFailure("the TPM at " + tcti + " cannot be opened (" + tss_->Tss2_RC_Decode(rc) +
                         ")");
    }
    rc = tss_->Esys_Initialize(&esys_, tcti_, nullptr);
    if (rc != TSS2_RC_SUCCESS) {
        tss_->Tss2_TctiLdr_Finalize(&tcti_);
        throw TpmFailure("the TPM at " + tcti + " does not answer (" + tss_->Tss2_RC_Decode(rc) +
                         ")");
    }
}

TpmContext::~TpmContext() {
    tss_->Esys_Finalize(&esys_);
    tss_->Tss2_TctiLdr_Finalize(&tcti_);
}

void TpmContext::check(TSS2_RC rc, const char* what) const {
    if (rc == TSS2_RC_SUCCESS) return;
    throw TpmFailure(std::string(what) + " (" + tss_->Tss2_RC_Decode(rc) + ")");
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
