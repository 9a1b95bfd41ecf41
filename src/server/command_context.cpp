#include "server/command_context.h"

#include <stdexcept>

namespace quorvane {

const SecretBytes& CommandContext::sessionKey(std::string_view sessionId) const {
    switch (sessionRule) {
        case SessionRule::anySession:
            return sessions.requireAnySession(sessionId);
        case SessionRule::fullSession:
            return sessions.requireFullSession(sessionId);
        case SessionRule::none:
            break;
    }
    throw std::logic_error("a command without a session rule asked for a session");
}

}  // namespace quorvane
