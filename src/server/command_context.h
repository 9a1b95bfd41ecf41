#pragma once

#include <string_view>

#include "crypto/secret_bytes.h"
#include "platform/services.h"
#include "server/reply_writer.h"
#include "server/request.h"
#include "server/session_table.h"

namespace quorvane {

// Which session a command works on, stated once per command in the command table.
enum class SessionRule {
    none,         // opens sessions or needs none
    anySession,   // a session of either mode (capture sessions may add, never read)
    fullSession,  // a full session only
};

// What one command handler works with: the decoded request, the session table, the reply being
// built (already begun as a success), the platform services (each started only when a command
// first reaches for it), and the request loop's input, whose hang-up means the application went
// away.
struct CommandContext {
    Request& request;
    SessionTable& sessions;
    ReplyWriter& reply;
    platform::Services& services;
    bool& shouldExit;
    // The running command's rule, from the command table.
    SessionRule sessionRule = SessionRule::none;
    int input = -1;

    // sessionKey returns the key of the session `sessionId` as the command's rule allows: raises
    // HelperError "vault session missing" when there is none, or "vault session is capture-only"
    // for a capture session under the full-session rule. Handlers call it after checking their
    // members, so "missing parameters" always comes first. A command whose rule is none must not
    // call it (std::logic_error).
    const SecretBytes& sessionKey(std::string_view sessionId) const;
};

// A command handler reads its members from the request, does its work, and adds its result
// members to the reply. It reports every failure by raising; the server turns it into the error
// reply.
using CommandHandler = void (*)(CommandContext& context);

// One row of a command table: the request's `cmd`, the session rule that decides which sessions
// the command may read, and its handler. The table itself is assembled above the server, with the
// modes, so the server knows no command.
struct Command {
    std::string_view name;
    SessionRule sessionRule;
    CommandHandler handler;
};

}  // namespace quorvane
