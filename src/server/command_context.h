#pragma once

#include <functional>

#include "server/reply_writer.h"
#include "server/request.h"
#include "session/session_table.h"

namespace quorvane {

namespace platform {
class Platform;
}

// What one command handler works with: the decoded request, the session table, the reply being
// built (already begun as a success), and the platform, reached only by commands that need it so
// the platform is not started for the others.
struct CommandContext {
    const Request& request;
    SessionTable& sessions;
    ReplyWriter& reply;
    const std::function<platform::Platform&()>& platform;
    bool& shouldExit;
};

// A command handler reads its members from the request, does its work, and adds its result
// members to the reply. It reports every failure by raising; the server turns it into the error
// reply.
using CommandHandler = void (*)(CommandContext& context);

}  // namespace quorvane
