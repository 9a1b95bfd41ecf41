#include "server/session_table.h"

#include "base/errors.h"
#include "crypto/envelope.h"
#include "crypto/hex.h"
#include "crypto/random.h"

namespace quorvane {

std::string SessionTable::createSession(std::optional<SecretBytes> key, SessionMode mode) {
    std::string sessionId = randomHex(16);
    if (!key) {
        key.emplace(kKeySize);
        randomBytes(key->span());
    }
    sessions_.insert_or_assign(sessionId, SessionState{std::move(*key), mode});
    return sessionId;
}

const SessionState& SessionTable::requireSession(std::string_view sessionId) const {
    auto it = sessions_.find(sessionId);
    if (it == sessions_.end()) throw HelperError("vault session missing");
    return it->second;
}

const SecretBytes& SessionTable::requireFullSession(std::string_view sessionId) const {
    const SessionState& session = requireSession(sessionId);
    if (session.mode != SessionMode::full) throw HelperError("vault session is capture-only");
    return session.key;
}

const SecretBytes& SessionTable::requireAnySession(std::string_view sessionId) const {
    return requireSession(sessionId).key;
}

void SessionTable::remove(std::string_view sessionId) {
    auto it = sessions_.find(sessionId);
    if (it != sessions_.end()) sessions_.erase(it);
}

}  // namespace quorvane
