#include "crypto/sha256.h"

#include <openssl/sha.h>

namespace quorvane {

SecretBytes sha256(std::span<const std::uint8_t> data) {
    SecretBytes digest(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}

}  // namespace quorvane
