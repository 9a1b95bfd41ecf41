#pragma once

#include <memory>
#include <string>

#include "base/errors.h"
#include "front/command_table.h"
#include "platform/macos/mac_item_store.h"
#include "platform/macos/mac_key_store.h"
#include "platform/macos/mac_presence.h"
#include "platform/macos/mac_services.h"
#include "server/request_reader.h"
#include "session/session_table.h"
#include "support/fake_security_framework.h"
#include "support/json.h"

namespace quorvane::testing {

// CommandRunner runs one command handler on a request line as the request server would, with
// the session rule the command table gives it, against the macOS adapters over a fake framework
// and a session table: the error text when it raises, the reply otherwise. It counts how many
// platform services the handler started.
class CommandRunner {
  public:
    struct Outcome {
        std::string error;  // empty on success
        Json reply;         // the reply object on success
    };

    Outcome run(CommandHandler handler, const std::string& line) {
        RequestReader reader;
        reader.feed(line);
        if (!reader.finish()) throw std::invalid_argument("not a request line: " + line);
        Request& request = reader.request();
        ReplyWriter reply;
        reply.begin(1);
        bool shouldExit = false;
        CommandContext context{request, sessions, reply, counted_, shouldExit, ruleOf(handler)};
        try {
            handler(context);
        } catch (const std::exception& error) {
            return {stringError(error), {}};
        }
        reply.finish();
        return {"", parseJson(std::string(reply.line()))};
    }

    // error runs the command and returns its error text ("<succeeded>" when it did not fail).
    std::string error(CommandHandler handler, const std::string& line) {
        Outcome outcome = run(handler, line);
        return outcome.error.empty() ? "<succeeded>" : outcome.error;
    }

    platform::FakeSecurityFramework platform;
    // The adapters themselves, for calls a test makes outside a command.
    std::unique_ptr<platform::Services> services = platform::makeMacServices(platform);
    SessionTable sessions;
    int platformUses = 0;

  private:
    static SessionRule ruleOf(CommandHandler handler) {
        for (const Command& command : commandTable()) {
            if (command.handler == handler) return command.sessionRule;
        }
        throw std::logic_error("the handler is not in the command table");
    }

    platform::Services counted_{[this](platform::Services&) {
                                    ++platformUses;
                                    return std::make_unique<platform::MacItemStore>(platform);
                                },
                                [this](platform::Services&) {
                                    ++platformUses;
                                    return std::make_unique<platform::MacKeyStore>(platform);
                                },
                                [this](platform::Services&) {
                                    ++platformUses;
                                    return std::make_unique<platform::MacPresence>(platform);
                                }};
};

}  // namespace quorvane::testing
