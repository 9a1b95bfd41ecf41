#include "crypto/pbkdf2.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace quorvane {

int pbkdf2HmacSha256(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                     std::uint32_t iterations, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), 0);
    if (iterations == 0 || iterations > INT_MAX || password.size() > INT_MAX ||
        salt.size() > INT_MAX || out.size() > INT_MAX) {
        return -1;
    }
    int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                               static_cast<int>(password.size()), salt.data(),
                               static_cast<int>(salt.size()), static_cast<int>(iterations),
                               EVP_sha256(), static_cast<int>(out.size()), out.data());
    if (ok != 1) {
        wipeMemory(out.data(), out.size());
        return -2;
    }
    return 0;
}

}  // namespace quorvane
