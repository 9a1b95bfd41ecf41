#pragma once

#include <span>
#include <string_view>

#include "platform/services.h"
#include "server/command_context.h"
#include "server/reply_writer.h"
#include "server/request_reader.h"
#include "server/session_table.h"

namespace quorvane {

// Server answers request lines one at a time, reading each once, as it arrives. It owns the
// session table and the shutdown flag for the life of the request loop. Not thread-safe: one
// thread reads, handles and writes.
class Server {
  public:
    // `services` and `commands` must outlive the server; a request's `cmd` runs the first command
    // of that name in `commands`. `input` is the descriptor requests arrive on (its hang-up
    // withdraws an open presence prompt), -1 when there is none to watch.
    Server(platform::Services& services, std::span<const Command> commands, int input = -1)
        : services_(services), commands_(commands), input_(input) {}

    // feed reads the next bytes of the current request line. Never raises.
    void feed(std::string_view bytes) { reader_.feed(bytes); }
    // endLine answers the line fed since the last endLine into `reply()`, sends the reply to the
    // output when one is set, then wipes the request. Never raises unless the output does.
    void endLine();
    // setOutput makes endLine send each reply through `output` as soon as it is complete,
    // producing a bulk member piece by piece (ReplyWriter::send).
    void setOutput(ReplyWriter::Output output) { output_ = std::move(output); }

    // The reply of the last handled line, ending in a line feed.
    ReplyWriter& reply() { return reply_; }
    bool shouldExit() const { return shouldExit_; }
    SessionTable& sessions() { return sessions_; }

  private:
    void handleRequest(Request& request);

    platform::Services& services_;
    std::span<const Command> commands_;
    int input_;
    RequestReader reader_;
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
