// Request lines through the whole handling path: the input is what a parent could write to the
// helper's standard input. It goes through the line reader, the request reader (each line fed in
// pieces of sizes drawn from the line itself, so pieces end inside escapes, characters, numbers
// and base64 groups), the command table and every command, against the in-memory platform, with a
// full and a capture session already open under known identifiers so session commands get past
// their lookups (the seeds carry lines sealed under their key). Each reply must be one compact JSON
// object on one line with an integer "id" and a boolean "ok"; a failed reply holds exactly "id",
// "ok" and a string "error".
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/process_values.h"
#include "crypto/base64.h"
#include "crypto/wrap_salt.h"
#include "front/command_table.h"
#include "platform/macos/mac_services.h"
#include "server/line_reader.h"
#include "server/request_reader.h"
#include "server/server.h"
#include "support/fake_security_framework.h"

namespace {

using namespace quorvane;

constexpr std::string_view kFullSession = "00000000000000000000000000000001";
constexpr std::string_view kCaptureSession = "00000000000000000000000000000002";

// Password derivations of more rounds than this are skipped: the real counts (600000 and
// 1200000) take seconds under the sanitizers, which would starve the search, and the derivation
// has known-answer tests of its own. Everything up to the derivation is still exercised.
constexpr std::int64_t kMaxIterations = 16;

// The key of both prepared sessions: the bytes 00 01 ... 1f.
SecretBytes sessionKey() {
    SecretBytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(i);
    return key;
}

[[noreturn]] void violated(const char* what, std::string_view reply) {
    std::fprintf(stderr, "reply invariant violated: %s\nreply: %.*s\n", what,
                 static_cast<int>(reply.size()), reply.data());
    std::abort();
}

// True when the request would run a password derivation of more than kMaxIterations rounds.
// Mirrors the order in which the wrap commands check their input, so a request that fails
// before the derivation is still handled.
bool derivesCostly(Request& request, const SessionTable& sessions) {
    std::string_view cmd = request.string("cmd").value_or("");
    if (cmd == "wrap_secret") {
        auto sessionId = request.string("sessionId");
        if (!sessionId || !request.string("secret")) return false;
        try {
            sessions.requireFullSession(*sessionId);
        } catch (const HelperError&) {
            return false;
        }
        return true;  // always the versioned count
    }
    if (cmd != "unwrap_secret" && cmd != "unwrap_secret_capture") return false;
    auto salt = request.string("salt");
    auto blob = request.string("blob");
    if (!request.string("secret") || !salt || !blob || !base64DecodeSecret(*blob)) return false;
    try {
        auto iterations = request.integer("iterations").value_or(values::wrapLegacyIterations);
        return parseWrapSalt(*salt, iterations).iterations > kMaxIterations;
    } catch (const HelperError&) {
        return false;
    }
}

bool derivesCostly(std::string_view line, const SessionTable& sessions) {
    static RequestReader probe;
    probe.feed(line);
    bool costly = probe.finish() && derivesCostly(probe.request(), sessions);
    probe.reset();
    return costly;
}

// feedInPieces feeds `line` to the server in pieces of 1 to 16 bytes, sizes drawn from a
// generator seeded by the line.
void feedInPieces(Server& server, std::string_view line) {
    std::uint32_t state = static_cast<std::uint32_t>(line.size()) * 2654435761u + 1;
    for (unsigned char c : line.substr(0, 8)) state = state * 31 + c;
    while (!line.empty()) {
        state = state * 1103515245u + 12345u;
        std::size_t size = std::min<std::size_t>(line.size(), 1 + (state >> 16) % 16);
        server.feed(line.substr(0, size));
        line.remove_prefix(size);
    }
}

void checkReply(std::string_view reply) {
    static simdjson::dom::parser parser;
    if (reply.empty() || reply.back() != '\n') violated("not ended by a line feed", reply);
    std::string_view text = reply.substr(0, reply.size() - 1);
    if (text.find('\n') != std::string_view::npos) violated("more than one line", reply);
    simdjson::padded_string padded(text);
    simdjson::dom::object object;
    if (parser.parse(padded).get(object) != simdjson::SUCCESS) violated("not a JSON object", reply);
    int64_t id;
    bool ok;
    if (object["id"].get(id) != simdjson::SUCCESS) violated("no integer id", reply);
    if (object["ok"].get(ok) != simdjson::SUCCESS) violated("no boolean ok", reply);
    if (!ok) {
        std::string_view error;
        if (object["error"].get(error) != simdjson::SUCCESS) violated("no error text", reply);
        if (object.size() != 3) violated("a failed reply with other members", reply);
    } else if (object["error"].error() != simdjson::NO_SUCH_FIELD) {
        violated("a successful reply with an error", reply);
    }
}

// An in-memory file the line reader reads the input from, as it reads standard input.
int inputFile(const std::uint8_t* data, std::size_t size) {
    static int fd = ::memfd_create("fuzz-input", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::FakeSecurityFramework fake;
    std::unique_ptr<platform::Services> services = platform::makeMacServices(fake);
    Server server(*services, commandTable());
    server.sessions().insertSession(std::string(kFullSession), sessionKey(), SessionMode::full);
    server.sessions().insertSession(std::string(kCaptureSession), sessionKey(),
                                    SessionMode::capture);

    // The loop of serve(), minus the writes; each line is gathered first to skip costly ones.
    LineReader reader(inputFile(data, size));
    std::string line;
    for (;;) {
        std::optional<LineReader::Piece> piece;
        try {
            piece = reader.next();
        } catch (const PlatformError&) {
            std::abort();  // an in-memory file does not fail
        }
        if (!piece) break;
        line.append(piece->bytes);
        if (!piece->endsLine) continue;
        if (server.shouldExit()) break;
        if (!derivesCostly(line, server.sessions())) {
            feedInPieces(server, line);
            server.endLine();
            checkReply(server.reply().line());
        }
        server.reply().wipe();
        line.clear();
    }
    return 0;
}
