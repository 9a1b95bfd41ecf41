#include "server/server.h"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/errors.h"
#include "os/pipe.h"
#include "server/line_reader.h"

namespace quorvane {

void Server::endLine() {
    if (reader_.finish()) {
        handleRequest(reader_.request());
    } else {
        reply_.fail(0, "invalid json request");
    }
    reply_.finish();
    // A produced reply member is made from the request's values: sent (or, with no output, made
    // whole) before they are wiped.
    if (output_) {
        reply_.send(output_);
    } else {
        try {
            reply_.line();
        } catch (const std::bad_alloc&) {
            reply_.fail(0, "out of memory");
            reply_.finish();
        }
    }
    reader_.reset();
}

void Server::handleRequest(Request& request) {
    std::int64_t id = request.integer("id").value_or(0);
    std::string_view cmd = request.string("cmd").value_or("");
    reply_.begin(id);
    try {
        const Command* chosen = nullptr;
        for (const Command& command : commands_) {
            if (command.name == cmd) {
                chosen = &command;
                break;
            }
        }
        if (chosen == nullptr) throw HelperError("unknown command: " + std::string(cmd));
        CommandContext context{request,     sessions_,           reply_, services_,
                               shouldExit_, chosen->sessionRule, input_};
        chosen->handler(context);
    } catch (...) {
        reply_.fail(id, stringCurrentError());
    }
}

namespace {

// writeAll writes every byte; false when the parent has gone away.
bool writeAll(std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int serve(platform::Services& services, std::span<const Command> commands) {
    os::widenPipe(STDIN_FILENO);
    os::widenPipe(STDOUT_FILENO);
    Server server(services, commands, STDIN_FILENO);
    server.setOutput(writeAll);
    server.reply().ready();
    server.reply().finish();
    server.reply().send(writeAll);
    server.reply().wipe();

    LineReader reader(STDIN_FILENO);
    for (;;) {
        std::optional<LineReader::Piece> piece;
        try {
            piece = reader.next();
        } catch (const PlatformError&) {
            break;  // standard input is unusable: nothing more can arrive
        }
        if (!piece) break;
        if (server.shouldExit()) {
            // After shutdown the next line is read to its end and dropped.
            if (piece->endsLine) break;
            continue;
        }
        server.feed(piece->bytes);
        if (piece->endsLine) {
            server.endLine();  // answers on standard output
            server.reply().wipe();
        }
    }
    return 0;
}

}  // namespace quorvane
