#pragma once

#include <simdjson.h>

#include <span>
#include <string_view>

#include "platform/services.h"
#include "server/command_context.h"
#include "server/lifted_members.h"
#include "server/reply_writer.h"
#include "session/session_table.h"

namespace quorvane {

// Server answers request lines one at a time. It owns the session table and the shutdown flag
// for the life of the request loop. Not thread-safe: one thread reads, handles and writes.
class Server {
  public:
    // `services` and `commands` must outlive the server; a request's `cmd` runs the first command
    // of that name in `commands`. `input` is the descriptor requests arrive on (its hang-up
    // withdraws an open presence prompt), -1 when there is none to watch.
    Server(platform::Services& services, std::span<const Command> commands, int input = -1)
        : services_(services), commands_(commands), input_(input) {}

    // handleLine answers one request line (without its terminator) into `reply()`, and sends
    // the reply to the output when one is set. The line must be followed by
    // simdjson::SIMDJSON_PADDING readable bytes; it is writable because a bulk payload is decoded
    // and sealed or opened where the line holds it (the caller wipes the line afterwards). Never
    // raises unless the output does.
    void handleLine(std::span<char> line);
    // setOutput makes handleLine send each reply through `output` as soon as it is complete,
    // producing a bulk member piece by piece (ReplyWriter::send).
    void setOutput(ReplyWriter::Output output) { output_ = std::move(output); }

    // The reply of the last handled line, ending in a line feed.
    ReplyWriter& reply() { return reply_; }
    bool shouldExit() const { return shouldExit_; }
    SessionTable& sessions() { return sessions_; }

  private:
    void handleRequest(simdjson::dom::object object);

    platform::Services& services_;
    std::span<const Command> commands_;
    int input_;
    simdjson::dom::parser parser_;
    LiftedMembers lifted_;
    ReplyWriter::Output output_;
    SessionTable sessions_;
    ReplyWriter reply_;
    bool shouldExit_ = false;
};

// serve runs the request loop on standard input and output: writes the readiness line, then
// answers each line with `commands` until end of input or the first line read after a command set
// the shutdown flag. Returns the process's exit status (0); raises nothing.
int serve(platform::Services& services, std::span<const Command> commands);

}  // namespace quorvane
