#pragma once

#include <memory>
#include <string>

#include "base/errors.h"
#include "front/command_table.h"
#include "platform/services.h"
#include "server/command_context.h"
#include "server/request_reader.h"
#include "session/session_table.h"
#include "support/fake_services.h"
#include "support/json.h"

namespace quorvane::testing {

// PlainServices is a set of platform services made of the plain fakes: an in-memory item store,
// a scripted presence prompt and a scripted key store that asks it. Each is made when a command
// first reaches for it, as on a machine, and `started` counts them, so a test sees whether a
// command touched the platform at all.
struct PlainServices {
    platform::Services services{[this](platform::Services&) {
                                    ++started;
                                    return std::make_unique<FakeItemStore>();
                                },
                                [this](platform::Services& s) {
                                    ++started;
                                    return std::make_unique<ScriptedKeyStore>(s.presence());
                                },
                                [this](platform::Services&) {
                                    ++started;
                                    return std::make_unique<ScriptedPresence>();
                                }};
    int started = 0;

    ScriptedKeyStore& keys() { return static_cast<ScriptedKeyStore&>(services.keys()); }
    ScriptedPresence& presence() { return static_cast<ScriptedPresence&>(services.presence()); }
};

// CommandRunner runs one command of the command table on a request line as the request server
// would (the table's session rule included) over PlainServices and a session table: the error
// text when it raises, the reply otherwise.
class CommandRunner {
  public:
    struct Outcome {
        std::string error;  // empty on success
        Json reply;         // the reply object on success
    };

    Outcome run(std::string_view name, const std::string& line) {
        const Command* command = nullptr;
        for (const Command& c : commandTable()) {
            if (c.name == name) command = &c;
        }
        if (command == nullptr) throw std::logic_error("no such command");
        RequestReader reader;
        reader.feed(line);
        if (!reader.finish()) throw std::invalid_argument("not a request line: " + line);
        Request& request = reader.request();
        ReplyWriter reply;
        reply.begin(1);
        bool shouldExit = false;
        CommandContext context{request,        sessions,   reply,
                               fakes.services, shouldExit, command->sessionRule};
        try {
            command->handler(context);
        } catch (const std::exception& error) {
            return {stringError(error), {}};
        }
        reply.finish();
        return {"", parseJson(std::string(reply.line()))};
    }

    // error runs the command and returns its error text ("<succeeded>" when it did not fail).
    std::string error(std::string_view name, const std::string& line) {
        Outcome outcome = run(name, line);
        return outcome.error.empty() ? "<succeeded>" : outcome.error;
    }

    PlainServices fakes;
    SessionTable sessions;
};

}  // namespace quorvane::testing
