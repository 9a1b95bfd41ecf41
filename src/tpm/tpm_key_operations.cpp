#include "tpm/tpm_key_operations.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "tpm/tpm_context.h"

namespace quorvane::platform::tpm {
namespace {

constexpr std::size_t kCoordinateSize = 32;
constexpr const char* kCannotLoad =
    "the TPM cannot load the presence key; it was made by another TPM or before this TPM was "
    "cleared";

// The key as the TPM makes it. No restriction, so it decrypts caller-chosen points. noDA: a key
// without an auth value gains nothing from dictionary-attack counting, and a key service key's
// auth value is 32 random bytes nobody guesses; counting would only let any program that can
// reach the TPM set off a lockout that locks the person out of their vault.
TPM2B_PUBLIC keyTemplate() {
    TPM2B_PUBLIC in{};
    TPMT_PUBLIC& area = in.publicArea;
    area.type = TPM2_ALG_ECC;
    area.nameAlg = TPM2_ALG_SHA256;
    area.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT |
                            TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
                            TPMA_OBJECT_DECRYPT | TPMA_OBJECT_NODA;
    TPMS_ECC_PARMS& ecc = area.parameters.eccDetail;
    ecc.symmetric.algorithm = TPM2_ALG_NULL;
    ecc.scheme.scheme = TPM2_ALG_ECDH;
    ecc.scheme.details.ecdh.hashAlg = TPM2_ALG_SHA256;
    ecc.curveID = TPM2_ECC_NIST_P256;
    ecc.kdf.scheme = TPM2_ALG_NULL;
    return in;
}

// EsysBuffer frees what ESAPI allocated for an answer, wiping it first.
template <class T>
class EsysBuffer {
  public:
    explicit EsysBuffer(const TssLibrary& tss) : tss_(tss) {}
    ~EsysBuffer() {
        if (value_ != nullptr) OPENSSL_cleanse(value_, sizeof(T));
        tss_.Esys_Free(value_);
    }
    EsysBuffer(const EsysBuffer&) = delete;
    EsysBuffer& operator=(const EsysBuffer&) = delete;
    T** out() { return &value_; }
    T* get() const { return value_; }

  private:
    const TssLibrary& tss_;
    T* value_ = nullptr;
};

// AuthValue is a key's auth value in the form ESAPI takes, wiped when it goes.
struct AuthValue {
    explicit AuthValue(std::span<const std::uint8_t> bytes) {
        if (bytes.size() > sizeof(value.buffer))
            throw TpmFailure("the key's auth value is too long");
        value.size = static_cast<UINT16>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), value.buffer);
    }
    ~AuthValue() { OPENSSL_cleanse(&value, sizeof(value)); }
    AuthValue(const AuthValue&) = delete;
    AuthValue& operator=(const AuthValue&) = delete;
    TPM2B_AUTH value{};
};

// LoadedKey is the key loaded under the storage root key, with its auth value set, flushed (and
// its auth value overwritten in ESAPI's records, which free it unwiped) when it goes.
class LoadedKey {
  public:
    LoadedKey(const TpmContext& context, const TransientHandle& root, const KeyItem& key)
        : context_(context), handle_(context) {
        const TSS2_RC rc =
            context.tss().Esys_Load(context.esys(), root.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                    ESYS_TR_NONE, &key.privatePart, &key.publicPart, handle_.out());
        if (rc != TSS2_RC_SUCCESS && (rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER) {
            throw KeyRefused(std::string(kCannotLoad) + " (" + context.tss().Tss2_RC_Decode(rc) +
                             ")");
        }
        context.check(rc, kCannotLoad);
    }
    ~LoadedKey() {
        const TPM2B_AUTH none{};
        context_.tss().Esys_TR_SetAuth(context_.esys(), handle_.get(), &none);
    }
    LoadedKey(const LoadedKey&) = delete;
    LoadedKey& operator=(const LoadedKey&) = delete;

    void setAuth(std::span<const std::uint8_t> auth) {
        AuthValue value(auth);
        context_.check(context_.tss().Esys_TR_SetAuth(context_.esys(), handle_.get(), &value.value),
                       "the TPM key's auth value cannot be set");
    }
    ESYS_TR get() const { return handle_.get(); }

  private:
    const TpmContext& context_;
    TransientHandle handle_;
};

// startSaltedSession starts an HMAC session salted with the storage root key `root`, so its key
// is unknown to anything that watched the bus, with AES-128-CFB parameter encryption in
// `direction`: TPMA_SESSION_DECRYPT for the first parameter of a command (a secret sent in),
// TPMA_SESSION_ENCRYPT for the first parameter of a response (a secret coming out).
void startSaltedSession(TpmContext& context, const TransientHandle& root, TransientHandle& session,
                        TPMA_SESSION direction) {
    const TssLibrary& tss = context.tss();
    const TPMT_SYM_DEF symmetric{TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
    context.check(tss.Esys_StartAuthSession(context.esys(), root.get(), ESYS_TR_NONE, ESYS_TR_NONE,
                                            ESYS_TR_NONE, ESYS_TR_NONE, nullptr, TPM2_SE_HMAC,
                                            &symmetric, TPM2_ALG_SHA256, session.out()),
                  "the TPM cannot start a session");
    context.check(tss.Esys_TRSess_SetAttributes(context.esys(), session.get(),
                                                direction | TPMA_SESSION_CONTINUESESSION, 0xff),
                  "the TPM session cannot be set up");
}

KeyItem makeKeyUnder(TpmContext& context, const TransientHandle& root,
                     std::span<const std::uint8_t> auth) {
    const TssLibrary& tss = context.tss();
    TPM2B_SENSITIVE_CREATE sensitive{};
    AuthValue authValue(auth);
    sensitive.sensitive.userAuth = authValue.value;
    struct Wipe {
        TPM2B_SENSITIVE_CREATE& sensitive;
        ~Wipe() { OPENSSL_cleanse(&sensitive, sizeof(sensitive)); }
    } wipe{sensitive};
    const TPM2B_PUBLIC in = keyTemplate();
    const TPM2B_DATA outsideInfo{};
    const TPML_PCR_SELECTION pcrs{};
    EsysBuffer<TPM2B_PRIVATE> privatePart(tss);
    EsysBuffer<TPM2B_PUBLIC> publicPart(tss);
    // The sensitive part (the auth value) goes to the TPM in a session salted with the storage
    // root key that encrypts it on the way in.
    TransientHandle session(context);
    startSaltedSession(context, root, session, TPMA_SESSION_DECRYPT);
    context.check(tss.Esys_Create(context.esys(), root.get(), session.get(), ESYS_TR_NONE,
                                  ESYS_TR_NONE, &sensitive, &in, &outsideInfo, &pcrs,
                                  privatePart.out(), publicPart.out(), nullptr, nullptr, nullptr),
                  "the TPM cannot make a key");
    KeyItem key;
    key.privatePart = *privatePart.get();
    key.publicPart = *publicPart.get();
    return key;
}

SecretBytes sharedSecretUnder(TpmContext& context, const TransientHandle& root, const KeyItem& key,
                              std::span<const std::uint8_t> auth,
                              std::span<const std::uint8_t> point) {
    const TssLibrary& tss = context.tss();
    LoadedKey loaded(context, root, key);
    loaded.setAuth(auth);

    // Salted with the storage root key, so the session key is unknown to anything that watched
    // the bus, and with response encryption, so Z leaves the TPM encrypted under it. The key's
    // auth value enters only the session's HMAC and never crosses the bus.
    TransientHandle session(context);
    startSaltedSession(context, root, session, TPMA_SESSION_ENCRYPT);

    TPM2B_ECC_POINT in{};
    in.point.x.size = kCoordinateSize;
    in.point.y.size = kCoordinateSize;
    std::copy_n(point.begin() + 1, kCoordinateSize, in.point.x.buffer);
    std::copy_n(point.begin() + 1 + kCoordinateSize, kCoordinateSize, in.point.y.buffer);
    EsysBuffer<TPM2B_ECC_POINT> out(tss);
    const TSS2_RC rc = tss.Esys_ECDH_ZGen(context.esys(), loaded.get(), session.get(), ESYS_TR_NONE,
                                          ESYS_TR_NONE, &in, out.out());
    // ESAPI decrypted Z in its response buffer; that copy goes before anything else happens.
    context.wipeResponse();
    context.check(rc, "the TPM cannot compute the shared secret");
    const TPM2B_ECC_PARAMETER& x = out.get()->point.x;
    if (x.size == 0 || x.size > kCoordinateSize)
        throw TpmFailure("the TPM gave a malformed answer");
    // Left-padded to the field size, as OpenSSL gives Z for a software key.
    SecretBytes z(kCoordinateSize);
    std::copy_n(x.buffer, x.size, z.data() + (kCoordinateSize - x.size));
    return z;
}

}  // namespace

KeyItem makeKey(const std::string& tcti, std::span<const std::uint8_t> auth) {
    TpmContext context(tcti);
    TransientHandle root(context);
    createStorageRoot(context, root);
    return makeKeyUnder(context, root, auth);
}

void checkLoads(const std::string& tcti, const KeyItem& key) {
    TpmContext context(tcti);
    TransientHandle root(context);
    createStorageRoot(context, root);
    LoadedKey loaded(context, root, key);
}

SecretBytes sharedSecret(const std::string& tcti, const KeyItem& key,
                         std::span<const std::uint8_t> auth, std::span<const std::uint8_t> point) {
    if (point.size() != 1 + 2 * kCoordinateSize) throw TpmFailure("the point is malformed");
    TpmContext context(tcti);
    TransientHandle root(context);
    createStorageRoot(context, root);
    return sharedSecretUnder(context, root, key, auth, point);
}

StorageRoot StorageRoot::make(const std::string& tcti) {
    TpmContext context(tcti);
    const TssLibrary& tss = context.tss();
    TransientHandle handle(context);
    createStorageRoot(context, handle);
    StorageRoot root;
    EsysBuffer<TPM2B_NAME> name(tss);
    context.check(tss.Esys_TR_GetName(context.esys(), handle.get(), name.out()),
                  "the TPM's storage root key has no name");
    root.name_.assign(name.get()->name, name.get()->name + name.get()->size);
    EsysBuffer<TPMS_CONTEXT> saved(tss);
    context.check(tss.Esys_ContextSave(context.esys(), handle.get(), saved.out()),
                  "the TPM cannot save its storage root key");
    root.saved_ = *saved.get();
    return root;
}

void StorageRoot::load(const TpmContext& context, TransientHandle& handle) const {
    const TSS2_RC rc = context.tss().Esys_ContextLoad(context.esys(), &saved_, handle.out());
    if (rc == TSS2_RC_SUCCESS) return;
    // Refusals by the TPM itself (format 0 or 1 response codes, layer 0) mean the context no
    // longer fits it; a failure on the way (no answer, a broken connection) is not that.
    if ((rc & TSS2_RC_LAYER_MASK) == TSS2_TPM_RC_LAYER) {
        throw StaleStorageRoot(std::string("the TPM no longer takes its storage root key (") +
                               context.tss().Tss2_RC_Decode(rc) + ")");
    }
    context.check(rc, "the TPM cannot load its storage root key");
}

KeyItem makeKey(const std::string& tcti, const StorageRoot& root,
                std::span<const std::uint8_t> auth) {
    TpmContext context(tcti);
    TransientHandle handle(context);
    root.load(context, handle);
    return makeKeyUnder(context, handle, auth);
}

void checkLoads(const std::string& tcti, const StorageRoot& root, const KeyItem& key) {
    TpmContext context(tcti);
    TransientHandle handle(context);
    root.load(context, handle);
    LoadedKey loaded(context, handle, key);
}

SecretBytes sharedSecret(const std::string& tcti, const StorageRoot& root, const KeyItem& key,
                         std::span<const std::uint8_t> auth, std::span<const std::uint8_t> point) {
    if (point.size() != 1 + 2 * kCoordinateSize) throw TpmFailure("the point is malformed");
    TpmContext context(tcti);
    TransientHandle handle(context);
    root.load(context, handle);
    return sharedSecretUnder(context, handle, key, auth, point);
}

}  // namespace quorvane::platform::tpm
