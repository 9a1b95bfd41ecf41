#pragma once

#include <simdjson.h>

#include <string_view>

#include "platform/services.h"
#include "server/reply_writer.h"
#include "session/session_table.h"

namespace quorvane {

// Server answers request lines one at a time. It owns the session table and the shutdown flag
// for the life of the request loop. Not thread-safe: one thread reads, handles and writes.
class Server {
  public:
    // `services` must outlive the server; `input` is the descriptor requests arrive on (its
    // hang-up withdraws an open presence prompt), -1 when there is none to watch.
    explicit Server(platform::Services& services, int input = -1)
        : services_(services), input_(input) {}

    // handleLine answers one request line (without its terminator) into `reply()`. The line
    // must be followed by simdjson::SIMDJSON_PADDING readable bytes. Never raises.
    void handleLine(std::string_view line);

    // The reply of the last handled line, ending in a line feed.
    ReplyWriter& reply() { return reply_; }
    bool shouldExit() const { return shouldExit_; }
    SessionTable& sessions() { return sessions_; }

  private:
    void handleRequest(simdjson::dom::object object);

    platform::Services& services_;
    int input_;
    simdjson::dom::parser parser_;
    SessionTable sessions_;
    ReplyWriter reply_;
    bool shouldExit_ = false;
};

// serve runs the request loop on standard input and output: writes the readiness line, then
// answers each line until end of input or the first line read after `shutdown`. Returns the
// process's exit status (0); raises nothing.
int serve(platform::Services& services);

}  // namespace quorvane
