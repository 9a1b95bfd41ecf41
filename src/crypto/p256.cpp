#include "crypto/p256.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

#include "base/platform_error.h"

namespace quorvane::p256 {
namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* pointer) const {
        Free(pointer);
    }
};
// BN_clear_free wipes the digits, so a scalar held in a BIGNUM is gone once the holder goes.
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

constexpr const char* kGroupName = "prime256v1";

[[noreturn]] void providerFailure() { throw PlatformError("p-256 provider failure"); }
[[noreturn]] void invalidPrivateKey() { throw PlatformError("invalid P-256 private key"); }

Group makeGroup() {
    Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    if (!group) providerFailure();
    return group;
}

// scalarBignum reads a scalar into a BIGNUM flagged secure (so the parameter builder keeps it in
// memory that is wiped on release), or nothing when it is not within 1...n-1.
Bignum scalarBignum(const EC_GROUP* group, std::span<const std::uint8_t> scalar) {
    if (scalar.size() != kScalarSize) return nullptr;
    Bignum value(BN_secure_new());
    if (!value) providerFailure();
    if (BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), value.get()) == nullptr) {
        providerFailure();
    }
    if (BN_is_zero(value.get()) || BN_cmp(value.get(), EC_GROUP_get0_order(group)) >= 0) {
        return nullptr;
    }
    return value;
}

Bytes pointFromScalar(const EC_GROUP* group, const BIGNUM* scalar) {
    Point point(EC_POINT_new(group));
    if (!point || EC_POINT_mul(group, point.get(), scalar, nullptr, nullptr, nullptr) != 1) {
        providerFailure();
    }
    Bytes encoded(kPointSize);
    if (EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                           encoded.size(), nullptr) != kPointSize) {
        providerFailure();
    }
    return encoded;
}

PKey keyFromParams(const OSSL_PARAM* params, int selection) {
    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) providerFailure();
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &key, selection, const_cast<OSSL_PARAM*>(params)) != 1) {
        return nullptr;
    }
    return PKey(key);
}

PKey privateKey(std::span<const std::uint8_t> scalar) {
    Group group = makeGroup();
    Bignum value = scalarBignum(group.get(), scalar);
    if (!value) invalidPrivateKey();
    Bytes point = pointFromScalar(group.get(), value.get());
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder ||
        OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0) !=
            1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, value.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()) != 1) {
        providerFailure();
    }
    Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    if (!params) providerFailure();
    PKey key = keyFromParams(params.get(), EVP_PKEY_KEYPAIR);
    if (!key) providerFailure();
    return key;
}

// publicKey decodes an uncompressed point; OpenSSL rejects points that are not on the curve.
PKey publicKey(std::span<const std::uint8_t> point) {
    if (point.size() != kPointSize || point[0] != 0x04) return nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kGroupName),
                                         0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<std::uint8_t*>(point.data()), point.size()),
        OSSL_PARAM_construct_end(),
    };
    return keyFromParams(params, EVP_PKEY_PUBLIC_KEY);
}

}  // namespace

SecretBytes generateScalar() {
    // The generation steps one by one rather than EVP_PKEY_Q_keygen, whose curve name travels
    // through a variable argument list: the executable binds libcrypto's functions on first use
    // through wrappers of fixed signature.
    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_group_name(context.get(), kGroupName) != 1 ||
        EVP_PKEY_generate(context.get(), &generated) != 1) {
        providerFailure();
    }
    PKey key(generated);
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) providerFailure();
    Bignum value(raw);
    SecretBytes scalar(kScalarSize);
    if (BN_bn2binpad(value.get(), scalar.data(), static_cast<int>(scalar.size())) !=
        static_cast<int>(kScalarSize)) {
        providerFailure();
    }
    return scalar;
}

bool isValidScalar(std::span<const std::uint8_t> scalar) {
    Group group = makeGroup();
    return scalarBignum(group.get(), scalar) != nullptr;
}

Bytes publicPoint(std::span<const std::uint8_t> scalar) {
    Group group = makeGroup();
    Bignum value = scalarBignum(group.get(), scalar);
    if (!value) invalidPrivateKey();
    return pointFromScalar(group.get(), value.get());
}

SecretBytes sharedSecret(std::span<const std::uint8_t> scalar,
                         std::span<const std::uint8_t> point) {
    PKey peer = publicKey(point);
    if (!peer) throw PlatformError("invalid P-256 public key");
    PKey own = privateKey(scalar);
    PKeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    if (!context || EVP_PKEY_derive_init(context.get()) != 1) providerFailure();
    // Checks the peer point once more (on the curve, not the identity) before deriving.
    if (EVP_PKEY_derive_set_peer_ex(context.get(), peer.get(), 1) != 1) {
        throw PlatformError("invalid P-256 public key");
    }
    SecretBytes secret(kSharedSecretSize);
    std::size_t length = secret.size();
    if (EVP_PKEY_derive(context.get(), secret.data(), &length) != 1 ||
        length != kSharedSecretSize) {
        providerFailure();
    }
    return secret;
}

bool isValidPoint(std::span<const std::uint8_t> point) {
    if (point.size() != kPointSize || point[0] != 0x04) return false;
    Group group = makeGroup();
    Point parsed(EC_POINT_new(group.get()));
    if (!parsed) providerFailure();
    // oct2point checks that the coordinates lie on the curve.
    return EC_POINT_oct2point(group.get(), parsed.get(), point.data(), point.size(), nullptr) ==
               1 &&
           EC_POINT_is_at_infinity(group.get(), parsed.get()) == 0;
}

}  // namespace quorvane::p256
