#include "platform/tpm/tpm_key_store.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "base/platform_error.h"
#include "base/process_values.h"
#include "platform/linux/ecies.h"
#include "platform/tpm/tpm_context.h"
#include "platform/tpm/tpm_key_item.h"

namespace quorvane::platform {
namespace {

using tpm::TpmFailure;

constexpr std::size_t kCoordinateSize = 32;

// The key as the TPM makes it. No restriction, so it decrypts caller-chosen points; noDA because
// its auth value is empty, so dictionary-attack counting protects nothing and a lockout set off
// by another program would only lock the person out of their vault.
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
    explicit EsysBuffer(const tpm::TssLibrary& tss) : tss_(tss) {}
    ~EsysBuffer() {
        if (value_ != nullptr) OPENSSL_cleanse(value_, sizeof(T));
        tss_.Esys_Free(value_);
    }
    EsysBuffer(const EsysBuffer&) = delete;
    EsysBuffer& operator=(const EsysBuffer&) = delete;
    T** out() { return &value_; }
    T* get() const { return value_; }

  private:
    const tpm::TssLibrary& tss_;
    T* value_ = nullptr;
};

// sharedSecret has the TPM compute Z = x(d·P) for the ephemeral point P at the start of `blob`.
SecretBytes sharedSecret(const std::string& tcti, const tpm::KeyItem& key,
                         std::span<const std::uint8_t> blob) {
    tpm::TpmContext context(tcti);
    const tpm::TssLibrary& tss = context.tss();
    tpm::TransientHandle root(context);
    tpm::createStorageRoot(context, root);
    tpm::TransientHandle loaded(context);
    context.check(tss.Esys_Load(context.esys(), root.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                ESYS_TR_NONE, &key.privatePart, &key.publicPart, loaded.out()),
                  "the TPM cannot load the presence key; it was made by another TPM or before "
                  "this TPM was cleared");

    // Salted with the storage root key, so the session key is unknown to anything that watched
    // the bus, and with response encryption, so Z leaves the TPM encrypted under it.
    tpm::TransientHandle session(context);
    const TPMT_SYM_DEF symmetric{TPM2_ALG_AES, {.aes = 128}, {.aes = TPM2_ALG_CFB}};
    context.check(tss.Esys_StartAuthSession(context.esys(), root.get(), ESYS_TR_NONE, ESYS_TR_NONE,
                                            ESYS_TR_NONE, ESYS_TR_NONE, nullptr, TPM2_SE_HMAC,
                                            &symmetric, TPM2_ALG_SHA256, session.out()),
                  "the TPM cannot start a session");
    context.check(
        tss.Esys_TRSess_SetAttributes(context.esys(), session.get(),
                                      TPMA_SESSION_ENCRYPT | TPMA_SESSION_CONTINUESESSION, 0xff),
        "the TPM session cannot be set up");

    TPM2B_ECC_POINT in{};
    in.point.x.size = kCoordinateSize;
    in.point.y.size = kCoordinateSize;
    std::copy_n(blob.begin() + 1, kCoordinateSize, in.point.x.buffer);
    std::copy_n(blob.begin() + 1 + kCoordinateSize, kCoordinateSize, in.point.y.buffer);
    EsysBuffer<TPM2B_ECC_POINT> out(tss);
    context.check(tss.Esys_ECDH_ZGen(context.esys(), loaded.get(), session.get(), ESYS_TR_NONE,
                                     ESYS_TR_NONE, &in, out.out()),
                  "the TPM cannot compute the shared secret");
    const TPM2B_ECC_PARAMETER& x = out.get()->point.x;
    if (x.size == 0 || x.size > kCoordinateSize)
        throw TpmFailure("the TPM gave a malformed answer");
    // Left-padded to the field size, as OpenSSL gives Z for the software key.
    SecretBytes z(kCoordinateSize);
    std::fill_n(z.data(), kCoordinateSize, 0);
    std::copy_n(x.buffer, x.size, z.data() + (kCoordinateSize - x.size));
    return z;
}

class TpmPresenceKey final : public PresenceKey {
  public:
    // A key for encryption only (`presence` null) or bound to a prompt request.
    TpmPresenceKey(tpm::KeyItem key, std::string tcti, Presence* presence,
                   const PromptRequest* request)
        : key_(std::move(key)), tcti_(std::move(tcti)), presence_(presence) {
        if (request != nullptr) {
            reason_ = std::string(request->reason);
            cancelOnHangUp_ = request->cancelOnHangUp;
        }
    }

    Bytes encrypt(std::span<const std::uint8_t> plaintext) override {
        try {
            return ecies::encrypt(tpm::publicPoint(key_), plaintext);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(KeyStoreError::Step::encrypt, failure.description());
        }
    }

    SecretBytes decrypt(std::span<const std::uint8_t> blob) override {
        using Step = KeyStoreError::Step;
        if (presence_ == nullptr) {
            throw KeyStoreError(Step::decrypt, "the key was not loaded for use");
        }
        try {
            // Garbage is refused before anybody is asked.
            ecies::checkShape(blob);
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::decrypt, failure.description());
        }
        confirm();
        try {
            SecretBytes z = sharedSecret(tcti_, key_, blob);
            return ecies::decryptWithSharedSecret(z.span(), blob);
        } catch (const TpmFailure& failure) {
            throw KeyStoreError(Step::decrypt, failure.text());
        } catch (const PlatformError& failure) {
            throw KeyStoreError(Step::decrypt, failure.description());
        }
    }

  private:
    void confirm() {
        PresenceAnswer answer;
        try {
            answer = presence_->confirm(PromptRequest{reason_, cancelOnHangUp_});
        } catch (const PresenceUnavailable& unavailable) {
            throw KeyStoreError(KeyStoreError::Step::decrypt, unavailable.reason());
        }
        if (answer.passed) return;
        throw KeyStoreError(KeyStoreError::Step::decrypt, answer.failure.empty()
                                                              ? "user presence was not confirmed"
                                                              : answer.failure);
    }

    tpm::KeyItem key_;
    std::string tcti_;
    Presence* presence_;
    std::string reason_;
    int cancelOnHangUp_ = -1;
};

}  // namespace

TpmKeyStore::TpmKeyStore(ItemStore& items, Presence& presence, std::string tcti)
    : items_(items), presence_(presence), tcti_(std::move(tcti)) {}

std::unique_ptr<PresenceKey> TpmKeyStore::find() {
    try {
        std::optional<SecretBytes> item = items_.findKeyItem(values::keyTag);
        // A software key item is not ours: tpm2-tss is not even loaded for it.
        if (!item || !tpm::isKeyItem(item->span())) return nullptr;
        const tpm::TssLibrary* tss = tpm::tssLibrary();
        if (tss == nullptr) return nullptr;
        std::optional<tpm::KeyItem> key = tpm::decodeKeyItem(*tss, item->span());
        if (!key) return nullptr;
        return std::make_unique<TpmPresenceKey>(std::move(*key), tcti_, nullptr, nullptr);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::unique_ptr<PresenceKey> TpmKeyStore::findForUse(const PromptRequest& request) {
    if (std::optional<std::string> reason = presence_.unavailableReason()) {
        throw PresenceUnavailable(std::move(*reason));
    }
    std::optional<SecretBytes> item;
    try {
        item = items_.findKeyItem(values::keyTag);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(KeyStoreError::Step::load, failure.detail());
    }
    if (!item || !tpm::isKeyItem(item->span())) return nullptr;
    const tpm::TssLibrary* tss = tpm::tssLibrary();
    if (tss == nullptr) {
        throw KeyStoreError(KeyStoreError::Step::load,
                            "the TPM software stack (libtss2-esys) cannot be loaded");
    }
    std::optional<tpm::KeyItem> key = tpm::decodeKeyItem(*tss, item->span());
    if (!key) throw KeyStoreError(KeyStoreError::Step::load, "the stored TPM key is damaged");
    return std::make_unique<TpmPresenceKey>(std::move(*key), tcti_, &presence_, &request);
}

std::unique_ptr<PresenceKey> TpmKeyStore::create() {
    using Step = KeyStoreError::Step;
    tpm::KeyItem key;
    Bytes item;
    try {
        tpm::TpmContext context(tcti_);
        const tpm::TssLibrary& tss = context.tss();
        tpm::TransientHandle root(context);
        tpm::createStorageRoot(context, root);
        const TPM2B_SENSITIVE_CREATE sensitive{};
        const TPM2B_PUBLIC in = keyTemplate();
        const TPM2B_DATA outsideInfo{};
        const TPML_PCR_SELECTION pcrs{};
        EsysBuffer<TPM2B_PRIVATE> privatePart(tss);
        EsysBuffer<TPM2B_PUBLIC> publicPart(tss);
        context.check(
            tss.Esys_Create(context.esys(), root.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE,
                            ESYS_TR_NONE, &sensitive, &in, &outsideInfo, &pcrs, privatePart.out(),
                            publicPart.out(), nullptr, nullptr, nullptr),
            "the TPM cannot make a key");
        key.privatePart = *privatePart.get();
        key.publicPart = *publicPart.get();
        item = tpm::encodeKeyItem(tss, key);
        if (!tpm::decodeKeyItem(tss, item)) throw TpmFailure("the TPM made an unusable key");
    } catch (const TpmFailure& failure) {
        throw KeyStoreError(Step::create, failure.text());
    }
    try {
        if (!items_.addKeyItem(values::keyTag, item)) {
            throw KeyStoreError(Step::create, "a presence key exists already");
        }
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(Step::create, failure.detail());
    }
    return std::make_unique<TpmPresenceKey>(std::move(key), tcti_, nullptr, nullptr);
}

void TpmKeyStore::remove() {
    try {
        items_.deleteKeyItem(values::keyTag);
    } catch (const ItemStoreError& failure) {
        throw KeyStoreError(KeyStoreError::Step::remove, failure.detail());
    }
}

bool TpmKeyStore::canCreate() { return !unavailableReason(tcti_).has_value(); }

std::optional<std::string> TpmKeyStore::unavailableReason(const std::string& tcti) {
    try {
        tpm::TpmContext context(tcti);
        tpm::TransientHandle root(context);
        tpm::createStorageRoot(context, root);
        return std::nullopt;
    } catch (const TpmFailure& failure) {
        return failure.text();
    } catch (const std::exception&) {
        return std::string("the TPM cannot be used (out of memory)");
    }
}

}  // namespace quorvane::platform
