#include "wrap/wrap_commands.h"

#include <string>

#include "base/errors.h"
#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"
#include "crypto/wrap_salt.h"

namespace quorvane {
namespace {

struct UnwrapRequest {
    std::string_view secret, salt, blob;
    std::optional<std::int64_t> iterations;
};

// Reads the unwrap members in order, all before any work.
UnwrapRequest readUnwrapRequest(const Request& request, const char* missingMessage) {
    auto secret = request.string("secret");
    auto salt = request.string("salt");
    auto blob = request.string("blob");
    if (!secret || !salt || !blob) throw HelperError(missingMessage);
    return {*secret, *salt, *blob, request.integer("iterations")};
}

std::string unwrapToSession(SessionTable& sessions, const UnwrapRequest& request,
                            SessionMode mode) {
    // The blob is checked before the costly derivation, so malformed input costs nothing.
    std::optional<SecretBytes> envelope = base64DecodeSecret(request.blob);
    if (!envelope) throw HelperError("invalid wrapped blob");
    if (envelope->size() < kEnvelopeOverhead) {
        // No key opens a blob too short for a nonce and a tag, so the answer is known before a
        // derivation that may take minutes: the derivation's own refusals first, in their order,
        // then the open's (made with any key: its length check comes first).
        checkWrapKeyInputs(request.salt, request.iterations.value_or(values::wrapLegacyIterations));
        decryptData(envelope->span(), SecretBytes(kKeySize).span());
    }
    SecretBytes wrapKey = deriveWrapKey(request.secret, request.salt,
                                        request.iterations.value_or(values::wrapLegacyIterations));
    SecretBytes vaultKey = decryptData(envelope->span(), wrapKey.span());
    if (vaultKey.size() != kKeySize) throw HelperError("invalid vault key length");
    return sessions.createSession(std::move(vaultKey), mode);
}

void unwrapCommand(CommandContext& context, const char* missingMessage, SessionMode mode) {
    UnwrapRequest request = readUnwrapRequest(context.request, missingMessage);
    context.reply.addString("sessionId", unwrapToSession(context.sessions, request, mode));
}

}  // namespace

void wrapSecretCommand(CommandContext& context) {
    auto sessionId = context.request.string("sessionId");
    auto secret = context.request.string("secret");
    if (!sessionId || !secret) throw HelperError("wrap_secret missing parameters");
    const SecretBytes& vaultKey = context.sessionKey(*sessionId);

    std::string descriptor = std::string(values::wrapV2Prefix) + ":" +
                             std::to_string(values::wrapV2Iterations) + ":" + randomHex(16);
    SecretBytes wrapKey = deriveWrapKey(*secret, descriptor, values::wrapLegacyIterations);
    Bytes envelope = encryptData(vaultKey.span(), wrapKey.span());

    context.reply.addString("salt", descriptor);
    context.reply.addString("blob", base64Encode(envelope));
    context.reply.addInteger("iterations", values::wrapV2Iterations);
}

void unwrapSecretCommand(CommandContext& context) {
    unwrapCommand(context, "unwrap_secret missing parameters", SessionMode::full);
}

void unwrapSecretCaptureCommand(CommandContext& context) {
    unwrapCommand(context, "unwrap_secret_capture missing parameters", SessionMode::capture);
}

}  // namespace quorvane
