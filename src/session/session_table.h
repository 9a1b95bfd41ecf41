#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "crypto/secret_bytes.h"

namespace quorvane {

enum class SessionMode { full, capture };

// One open vault session: its 32-byte vault key and what it may do. Never changes once made.
struct SessionState {
    SecretBytes key;
    SessionMode mode;
};

// SessionTable maps session identifiers (32 lowercase hex characters) to sessions for the life
// of the process. Only the request loop's thread touches it.
class SessionTable {
  public:
    // createSession stores a session under a new random identifier and returns the identifier.
    // With no key, draws 32 random bytes; a given key is stored as it is (callers check that it
    // is 32 bytes). An existing entry under the same identifier would be replaced.
    std::string createSession(std::optional<SecretBytes> key = std::nullopt,
                              SessionMode mode = SessionMode::full);

    // requireSession returns the session stored under exactly `sessionId`, or raises
    // HelperError "vault session missing".
    const SessionState& requireSession(std::string_view sessionId) const;
    // requireFullSession returns the key of a full session; raises as requireSession does, or
    // "vault session is capture-only" for a capture session.
    const SecretBytes& requireFullSession(std::string_view sessionId) const;
    // requireAnySession returns the key of a session of either mode; raises as requireSession.
    const SecretBytes& requireAnySession(std::string_view sessionId) const;

    // insertSession stores a session under an identifier the caller chose, replacing any entry
    // there. For tests and fuzzers, which need identifiers known in advance; the request path
    // only ever uses createSession.
    void insertSession(std::string sessionId, SecretBytes key, SessionMode mode);

    // remove drops the session under `sessionId`, wiping its key; nothing when there is none.
    void remove(std::string_view sessionId);

    std::size_t size() const { return sessions_.size(); }

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_map<std::string, SessionState, Hash, std::equal_to<>> sessions_;
};

}  // namespace quorvane
