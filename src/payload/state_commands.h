#pragma once

#include <cstdint>
#include <span>

#include "crypto/secret_bytes.h"
#include "server/command_context.h"

namespace quorvane {

// stateKeyFor returns SHA-256("quorvane-state-v1" || vaultKey): the key of state lines, which
// differs from the vault key so state lines and vault lines never open in place of each other.
SecretBytes stateKeyFor(std::span<const std::uint8_t> vaultKey);

// encrypt_state: seals the text `line` under the session's state key (either mode).
void encryptStateCommand(CommandContext& context);
// decrypt_state: opens the base64 envelope `line` under the state key (either mode).
void decryptStateCommand(CommandContext& context);

}  // namespace quorvane
