#pragma once

#include <simdjson.h>

#include <functional>
#include <string>

#include "front/errors.h"
#include "platform/fake/fake_platform.h"
#include "server/command_context.h"
#include "session/session_table.h"
#include "support/json.h"

namespace quorvane::testing {

// CommandRunner runs one command handler on a request line against a fake platform and a session
// table, as the request server would: the error text when it raises, the reply otherwise. It
// counts how often the handler reached for the platform.
class CommandRunner {
  public:
    struct Outcome {
        std::string error;  // empty on success
        Json reply;         // the reply object on success
    };

    Outcome run(CommandHandler handler, const std::string& line) {
        simdjson::dom::parser parser;
        simdjson::dom::object object = parser.parse(line).get_object().value();
        Request request(object);
        ReplyWriter reply;
        reply.begin(1);
        bool shouldExit = false;
        CommandContext context{request, sessions, reply, platformGetter_, shouldExit};
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

    platform::FakePlatform platform;
    SessionTable sessions;
    int platformUses = 0;

  private:
    std::function<platform::Platform&()> platformGetter_ = [this]() -> platform::Platform& {
        ++platformUses;
        return platform;
    };
};

}  // namespace quorvane::testing
