#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// A salt descriptor comes in two forms:
//   versioned  "pbkdf2:v2:<count>:<salt hex>"  carries its own iteration count;
//   legacy     "<salt hex>"                    the count comes from the caller.
struct ParsedWrapSalt {
    std::string saltHex;
    std::int64_t iterations;
};

// parseWrapSalt splits `descriptor` at every ":" (keeping empty fields). Exactly four fields
// starting "pbkdf2", "v2" make it versioned: the third field must be an optionally signed decimal
// that fits 64 bits and is at least 1 (else HelperError "invalid wrap iterations"), then the fourth
// must be valid hex (else "invalid salt hex"); `fallbackIterations` is ignored. Anything else is
// legacy and returned whole with `fallbackIterations`, unchecked.
ParsedWrapSalt parseWrapSalt(std::string_view descriptor, std::int64_t fallbackIterations);

// pbkdf2 derives the 32-byte wrap key from the password's UTF-8 bytes exactly as given and the
// salt decoded from `saltHex`. Raises HelperError "invalid salt hex" first when the salt is not
// hex; "wrap iterations out of range" for a count the derivation cannot take (negative or above
// 4294967295), before any work; "pbkdf2 derive failed: <status>" when the primitive refuses.
SecretBytes pbkdf2(std::string_view secret, std::string_view saltHex, std::int64_t iterations);

// checkWrapKeyInputs raises exactly what deriveWrapKey would raise for these inputs, in the same
// order, without deriving: it returns when the derivation would run and succeed.
void checkWrapKeyInputs(std::string_view saltDescriptor, std::int64_t iterations);

// deriveWrapKey is parseWrapSalt then pbkdf2; `iterations` only matters for a legacy descriptor.
SecretBytes deriveWrapKey(std::string_view secret, std::string_view saltDescriptor,
                          std::int64_t iterations);

}  // namespace quorvane
