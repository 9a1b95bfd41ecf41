#pragma once

#include <cstdint>
#include <span>

namespace quorvane {

// randomBytes fills `out` from the operating system's CSPRNG (through OpenSSL's DRBG). Every
// byte is uniform over 0...255. Raises PlatformError if the generator fails, so a caller never
// proceeds with bytes that are not random.
void randomBytes(std::span<std::uint8_t> out);

}  // namespace quorvane
