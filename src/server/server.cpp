#include "server/server.h"

#include <unistd.h>

#include <cerrno>

#include "front/errors.h"
#include "os/pipe.h"
#include "server/command_table.h"
#include "server/document_checks.h"
#include "server/line_reader.h"
#include "server/number_literals.h"
#include "server/parser_memory.h"
#include "server/parser_wipe.h"
#include "server/request.h"

namespace quorvane {

Server::Server(std::function<platform::Platform&()> platform) : platform_(std::move(platform)) {}

void Server::handleLine(std::string_view line) {
    prepareParser(parser_, line.size());
    simdjson::dom::element document;
    simdjson::error_code error = parser_.parse(line.data(), line.size(), false).get(document);
    std::optional<SecretBytes> exact;
    if (error == simdjson::NUMBER_ERROR ||
        (error == simdjson::SUCCESS && holdsRoundedNumber(parser_))) {
        // Valid JSON may hold numbers the parser refuses or rounds: parse a copy that writes each
        // number as what a request reads from it.
        exact = writeNumbersExactly(line, simdjson::SIMDJSON_PADDING);
        if (exact) {
            if (error == simdjson::SUCCESS) {
                wipeParsedStrings(parser_);
            } else {
                wipeAfterFailedParse(parser_, line.size());
            }
            prepareParser(parser_, exact->size());
            error = parser_.parse(exact->data(), exact->size(), false).get(document);
        }
    }
    simdjson::dom::object object;
    if (error != simdjson::SUCCESS) {
        wipeAfterFailedParse(parser_, exact ? exact->size() : line.size());
        reply_.fail(0, "invalid json request");
    } else {
        if (nestedDeeperThan(parser_, kMaxNesting) ||
            document.get_object().get(object) != simdjson::SUCCESS) {
            reply_.fail(0, "invalid json request");
        } else {
            handleRequest(object);
        }
        wipeParsedStrings(parser_);
    }
    reply_.finish();
}

void Server::handleRequest(simdjson::dom::object object) {
    Request request(object);
    std::int64_t id = request.integer("id").value_or(0);
    std::string_view cmd = request.string("cmd").value_or("");
    reply_.begin(id);
    try {
        const Command* chosen = nullptr;
        for (const Command& command : commandTable()) {
            if (command.name == cmd) {
                chosen = &command;
                break;
            }
        }
        if (chosen == nullptr) throw HelperError("unknown command: " + std::string(cmd));
        CommandContext context{request, sessions_, reply_, platform_, shouldExit_};
        chosen->handler(context);
    } catch (...) {
        reply_.fail(id, stringCurrentError());
    }
}

namespace {

// writeAll writes every byte or gives up when the parent has gone away.
void writeAll(std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace

int serve(std::function<platform::Platform&()> platform) {
    os::widenPipe(STDIN_FILENO);
    os::widenPipe(STDOUT_FILENO);
    Server server(std::move(platform));
    server.reply().ready();
    server.reply().finish();
    writeAll(server.reply().line());
    server.reply().wipe();

    LineReader reader(STDIN_FILENO, simdjson::SIMDJSON_PADDING);
    for (;;) {
        std::optional<std::string_view> line;
        try {
            line = reader.next();
        } catch (const PlatformError&) {
            break;  // standard input is unusable: nothing more can arrive
        }
        if (!line) break;
        if (server.shouldExit()) {
            reader.wipeCurrentLine();
            break;
        }
        server.handleLine(*line);
        reader.wipeCurrentLine();
        writeAll(server.reply().line());
        server.reply().wipe();
    }
    return 0;
}

}  // namespace quorvane
