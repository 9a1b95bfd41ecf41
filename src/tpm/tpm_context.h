#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "tpm/tss_library.h"

// One conversation with a TPM through ESAPI, and the handles made during it. Everything here is
// used by one thread at a time; nothing outlives the operation that opened it.
namespace quorvane::platform::tpm {

// TpmFailure is a failed step of a conversation with the TPM, in plain words (the TPM's own
// response code decoded by tpm2-tss in parentheses). Never carries key material.
class TpmFailure : public std::exception {
  public:
    explicit TpmFailure(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// TpmContext opens the TPM named by a TCTI string and closes it on destruction.
class TpmContext {
  public:
    // Opens the TPM at `tcti` (tpm/tcti.h: for example "device:/dev/tpmrm0") and starts
    // ESAPI on it, which sends nothing yet. Raises TpmFailure when the TCTI is not one of the
    // accepted forms, the libraries are missing or the TPM cannot be opened, with the reason a
    // person can act on (no device, no permission, no answer).
    explicit TpmContext(const std::string& tcti);
    ~TpmContext();
    TpmContext(const TpmContext&) = delete;
    TpmContext& operator=(const TpmContext&) = delete;

    const TssLibrary& tss() const { return *tss_; }
    ESYS_CONTEXT* esys() const { return esys_; }

    // check raises TpmFailure "<what> (<decoded rc>)" unless `rc` is TSS2_RC_SUCCESS.
    void check(TSS2_RC rc, const char* what) const;

    // wipeResponse overwrites the parameters of the last response, which ESAPI decrypts in
    // place in a buffer of its own and would otherwise keep until the next command or the
    // context's end (a shared secret would then outlive its use in freed memory). Call after a
    // command whose answer is secret, successful or not.
    void wipeResponse() const;

  private:
    void releaseTcti() noexcept;
    const TssLibrary* tss_ = nullptr;
    // The TCTI's memory is ours (the module writes into what we hand it), so it is wiped
    // before it goes back; tctiSize_ is its size.
    TSS2_TCTI_CONTEXT* tcti_ = nullptr;
    std::size_t tctiSize_ = 0;
    ESYS_CONTEXT* esys_ = nullptr;
};

// TransientHandle flushes a transient object or session from the TPM when it goes out of scope:
// without a resource manager (swtpm, /dev/tpm0) the TPM runs out of object slots otherwise.
class TransientHandle {
  public:
    explicit TransientHandle(const TpmContext& context) : context_(context) {}
    ~TransientHandle();
    TransientHandle(const TransientHandle&) = delete;
    TransientHandle& operator=(const TransientHandle&) = delete;

    ESYS_TR* out() { return &handle_; }
    ESYS_TR get() const { return handle_; }

  private:
    const TpmContext& context_;
    ESYS_TR handle_ = ESYS_TR_NONE;
};

// createStorageRoot makes the storage root key under the owner hierarchy from the standard ECC
// P-256 template into `handle`. The TPM derives it from its owner seed and the template, so it
// is the same key every time and nothing needs to be kept. Raises TpmFailure.
void createStorageRoot(const TpmContext& context, TransientHandle& handle);

}  // namespace quorvane::platform::tpm
