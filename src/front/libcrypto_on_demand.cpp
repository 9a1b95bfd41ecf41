// The executable binds OpenSSL's libcrypto the first time it calls into it, not when it starts.
// Loading libcrypto costs more than the rest of the start put together (its relocations alone
// write some 120 pages), and many runs never need it: the one-shot secret commands and --check,
// and a serving helper until its first request.
//
// Each function the helper uses is defined here with OpenSSL's own declaration (the headers make
// the compiler check every signature), and forwards to libcrypto's, looked up once. Only the
// executable links this file; the tests, benchmarks and fuzzers link libcrypto itself. The
// definitions are not exported, so libraries that bring libcrypto along (tpm2-tss) bind to the
// real functions.
//
// Without libcrypto the helper ends as the dynamic loader would have at start: a line on
// standard error and status 127, before anything is done with the missing function.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unistd.h>

#include "base/exit_status.h"
#include "os/shared_library.h"

namespace {

#define LIBCRYPTO_SONAME "libcrypto.so.3"

[[noreturn]] void missing() noexcept {
    static const char kMessage[] = "quorvane-helper: cannot load " LIBCRYPTO_SONAME "\n";
    (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(quorvane::exit_status::kLibraryMissing);
}

void* libcrypto() noexcept {
    static void* const library = quorvane::os::openSharedLibrary(LIBCRYPTO_SONAME);
    if (library == nullptr) missing();
    return library;
}

template <class Function>
Function bind(const char* name) noexcept {
    Function function = nullptr;
    if (!quorvane::os::resolveSymbol(libcrypto(), name, function)) missing();
    return function;
}

}  // namespace

// FORWARD(result, name, (parameters), (arguments)) defines `name` to call libcrypto's `name`.
#define FORWARD(result, name, parameters, arguments)                                   \
    extern "C" __attribute__((visibility("hidden"))) result name parameters {          \
        static const auto real = bind<result(*) parameters>(#name);                   \
        return real arguments;                                                        \
    }

FORWARD(BIGNUM*, BN_bin2bn, (const unsigned char* s, int len, BIGNUM* ret), (s, len, ret))
FORWARD(int, BN_bn2binpad, (const BIGNUM* a, unsigned char* to, int tolen), (a, to, tolen))
FORWARD(void, BN_clear_free, (BIGNUM * a), (a))
FORWARD(int, BN_cmp, (const BIGNUM* a, const BIGNUM* b), (a, b))
FORWARD(int, BN_is_zero, (const BIGNUM* a), (a))
FORWARD(BIGNUM*, BN_secure_new, (void), ())
FORWARD(int, CRYPTO_memcmp, (const void* a, const void* b, size_t len), (a, b, len))
FORWARD(void, EC_GROUP_free, (EC_GROUP * group), (group))
FORWARD(const BIGNUM*, EC_GROUP_get0_order, (const EC_GROUP* group), (group))
FORWARD(EC_GROUP*, EC_GROUP_new_by_curve_name, (int nid), (nid))
FORWARD(void, EC_POINT_free, (EC_POINT * point), (point))
FORWARD(int, EC_POINT_mul,
        (const EC_GROUP* group, EC_POINT* r, const BIGNUM* n, const EC_POINT* q, const BIGNUM* m,
         BN_CTX* ctx),
        (group, r, n, q, m, ctx))
FORWARD(EC_POINT*, EC_POINT_new, (const EC_GROUP* group), (group))
FORWARD(size_t, EC_POINT_point2oct,
        (const EC_GROUP* group, const EC_POINT* p, point_conversion_form_t form,
         unsigned char* buf, size_t len, BN_CTX* ctx),
        (group, p, form, buf, len, ctx))
FORWARD(int, EVP_CIPHER_CTX_ctrl, (EVP_CIPHER_CTX * ctx, int type, int arg, void* ptr),
        (ctx, type, arg, ptr))
FORWARD(void, EVP_CIPHER_CTX_free, (EVP_CIPHER_CTX * ctx), (ctx))
FORWARD(EVP_CIPHER_CTX*, EVP_CIPHER_CTX_new, (void), ())
FORWARD(int, EVP_DecryptFinal_ex, (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outl),
        (ctx, out, outl))
FORWARD(int, EVP_DecryptInit_ex,
        (EVP_CIPHER_CTX * ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
         const unsigned char* iv),
        (ctx, cipher, impl, key, iv))
FORWARD(int, EVP_DecryptUpdate,
        (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outl, const unsigned char* in, int inl),
        (ctx, out, outl, in, inl))
FORWARD(int, EVP_EncryptFinal_ex, (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outl),
        (ctx, out, outl))
FORWARD(int, EVP_EncryptInit_ex,
        (EVP_CIPHER_CTX * ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
         const unsigned char* iv),
        (ctx, cipher, impl, key, iv))
FORWARD(int, EVP_EncryptUpdate,
        (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outl, const unsigned char* in, int inl),
        (ctx, out, outl, in, inl))
FORWARD(void, EVP_KDF_CTX_free, (EVP_KDF_CTX * ctx), (ctx))
FORWARD(EVP_KDF_CTX*, EVP_KDF_CTX_new, (EVP_KDF * kdf), (kdf))
FORWARD(int, EVP_KDF_derive,
        (EVP_KDF_CTX * ctx, unsigned char* key, size_t keylen, const OSSL_PARAM params[]),
        (ctx, key, keylen, params))
FORWARD(EVP_KDF*, EVP_KDF_fetch,
        (OSSL_LIB_CTX * libctx, const char* algorithm, const char* properties),
        (libctx, algorithm, properties))
FORWARD(void, EVP_KDF_free, (EVP_KDF * kdf), (kdf))
FORWARD(void, EVP_PKEY_CTX_free, (EVP_PKEY_CTX * ctx), (ctx))
FORWARD(EVP_PKEY_CTX*, EVP_PKEY_CTX_new_from_name,
        (OSSL_LIB_CTX * libctx, const char* name, const char* propquery), (libctx, name, propquery))
FORWARD(EVP_PKEY_CTX*, EVP_PKEY_CTX_new_from_pkey,
        (OSSL_LIB_CTX * libctx, EVP_PKEY* pkey, const char* propquery), (libctx, pkey, propquery))
FORWARD(int, EVP_PKEY_CTX_set_group_name, (EVP_PKEY_CTX * ctx, const char* name), (ctx, name))
FORWARD(int, EVP_PKEY_derive, (EVP_PKEY_CTX * ctx, unsigned char* key, size_t* keylen),
        (ctx, key, keylen))
FORWARD(int, EVP_PKEY_derive_init, (EVP_PKEY_CTX * ctx), (ctx))
FORWARD(int, EVP_PKEY_derive_set_peer_ex, (EVP_PKEY_CTX * ctx, EVP_PKEY* peer, int validate_peer),
        (ctx, peer, validate_peer))
FORWARD(void, EVP_PKEY_free, (EVP_PKEY * pkey), (pkey))
FORWARD(int, EVP_PKEY_fromdata,
        (EVP_PKEY_CTX * ctx, EVP_PKEY** ppkey, int selection, OSSL_PARAM param[]),
        (ctx, ppkey, selection, param))
FORWARD(int, EVP_PKEY_fromdata_init, (EVP_PKEY_CTX * ctx), (ctx))
FORWARD(int, EVP_PKEY_generate, (EVP_PKEY_CTX * ctx, EVP_PKEY** ppkey), (ctx, ppkey))
FORWARD(int, EVP_PKEY_get_bn_param, (const EVP_PKEY* pkey, const char* key_name, BIGNUM** bn),
        (pkey, key_name, bn))
FORWARD(int, EVP_PKEY_keygen_init, (EVP_PKEY_CTX * ctx), (ctx))
FORWARD(const EVP_CIPHER*, EVP_aes_128_gcm, (void), ())
FORWARD(const EVP_CIPHER*, EVP_aes_256_gcm, (void), ())
FORWARD(void, OPENSSL_cleanse, (void* ptr, size_t len), (ptr, len))
FORWARD(void, OSSL_PARAM_BLD_free, (OSSL_PARAM_BLD * bld), (bld))
FORWARD(OSSL_PARAM_BLD*, OSSL_PARAM_BLD_new, (void), ())
FORWARD(int, OSSL_PARAM_BLD_push_BN, (OSSL_PARAM_BLD * bld, const char* key, const BIGNUM* bn),
        (bld, key, bn))
FORWARD(int, OSSL_PARAM_BLD_push_octet_string,
        (OSSL_PARAM_BLD * bld, const char* key, const void* buf, size_t bsize),
        (bld, key, buf, bsize))
FORWARD(int, OSSL_PARAM_BLD_push_utf8_string,
        (OSSL_PARAM_BLD * bld, const char* key, const char* buf, size_t bsize),
        (bld, key, buf, bsize))
FORWARD(OSSL_PARAM*, OSSL_PARAM_BLD_to_param, (OSSL_PARAM_BLD * bld), (bld))
FORWARD(OSSL_PARAM, OSSL_PARAM_construct_end, (void), ())
FORWARD(OSSL_PARAM, OSSL_PARAM_construct_octet_string, (const char* key, void* buf, size_t bsize),
        (key, buf, bsize))
FORWARD(OSSL_PARAM, OSSL_PARAM_construct_utf8_string, (const char* key, char* buf, size_t bsize),
        (key, buf, bsize))
FORWARD(void, OSSL_PARAM_free, (OSSL_PARAM * p), (p))
FORWARD(int, RAND_bytes, (unsigned char* buf, int num), (buf, num))
FORWARD(unsigned char*, SHA256, (const unsigned char* d, size_t n, unsigned char* md), (d, n, md))
