#include "server/server.h"

#include <unistd.h>

#include <cerrno>
#include <new>

#include "base/errors.h"
#include "os/pipe.h"
#include "server/document_checks.h"
#include "server/lifted_members.h"
#include "server/line_reader.h"
#include "server/number_literals.h"
#include "server/parser_memory.h"
#include "server/parser_wipe.h"
#include "server/request.h"

namespace quorvane {

void Server::handleLine(std::span<char> line) {
    // A bulk payload stays in the line; the parser gets a skeleton without it.
    std::string_view text(line.data(), line.size());
    if (line.size() <= parser_.max_capacity()) {
        try {
            if (auto skeleton = lifted_.lift(line, simdjson::SIMDJSON_PADDING)) text = *skeleton;
        } catch (const std::bad_alloc&) {
            lifted_.clear();  // no memory for the skeleton: the whole line still parses
        }
    }
    CurrentLiftedMembers liftedScope(lifted_);
    prepareParser(parser_, text.size());
    simdjson::dom::element document;
    simdjson::error_code error = parser_.parse(text.data(), text.size(), false).get(document);
    if (error == simdjson::SUCCESS && text.data() != line.data() && !lifted_.bind(document)) {
        // Cannot happen for a line the walk understood; parsing the whole line is always right.
        wipeParsedStrings(parser_);
        lifted_.clear();
        text = {line.data(), line.size()};
        prepareParser(parser_, text.size());
        error = parser_.parse(text.data(), text.size(), false).get(document);
    }
    std::optional<SecretBytes> exact;
    if (error == simdjson::NUMBER_ERROR ||
        (error == simdjson::SUCCESS && holdsRoundedNumber(parser_))) {
        // Valid JSON may hold numbers the parser refuses or rounds: parse a copy that writes each
        // number as what a request reads from it.
        exact = writeNumbersExactly(text, simdjson::SIMDJSON_PADDING);
        if (exact) {
            if (error == simdjson::SUCCESS) {
                wipeParsedStrings(parser_);
            } else {
                wipeAfterFailedParse(parser_, text.size());
            }
            prepareParser(parser_, exact->size());
            error = parser_.parse(exact->data(), exact->size(), false).get(document);
            if (error == simdjson::SUCCESS && !lifted_.empty() && !lifted_.bind(document)) {
                error = simdjson::TAPE_ERROR;  // as above: cannot happen
            }
        }
    }
    simdjson::dom::object object;
    if (error != simdjson::SUCCESS) {
        wipeAfterFailedParse(parser_, exact ? exact->size() : text.size());
        reply_.fail(0, "invalid json request");
    } else if (nestedDeeperThan(parser_, kMaxNesting) ||
               document.get_object().get(object) != simdjson::SUCCESS) {
        reply_.fail(0, "invalid json request");
    } else {
        handleRequest(object);
    }
    reply_.finish();
    // A produced reply member is made from the parsed strings or the line: sent (or, with no
    // output, made whole) before either is wiped.
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
    if (error == simdjson::SUCCESS) wipeParsedStrings(parser_);
    lifted_.clear();
}

void Server::handleRequest(simdjson::dom::object object) {
    Request request(object);
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

    LineReader reader(STDIN_FILENO, simdjson::SIMDJSON_PADDING);
    for (;;) {
        std::optional<std::span<char>> line;
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
        server.handleLine(*line);  // answers on standard output
        reader.wipeCurrentLine();
        server.reply().wipe();
    }
    return 0;
}

}  // namespace quorvane
