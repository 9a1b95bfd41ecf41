#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/base64_stream.h"
#include "json/exact_integer.h"
#include "json/stream_parser.h"
#include "server/request.h"

namespace quorvane {

// Requests are nested at most this deep, counting the request object itself as the first level
// and every array and object inside it, empty or not.
inline constexpr std::size_t kMaxNesting = 1024;

// RequestReader reads one request line as it arrives, piece by piece, with a strict streaming JSON
// parser, and builds the Request from the parser's events directly: the line must be one JSON
// object nested at most kMaxNesting deep. Kept strings are decoded (escapes included) straight
// into the request's SecretBytes, a base64 member into its bytes; a kept number is read from its
// own characters; nothing else of the line is copied. Its own state (a key's first characters,
// the parser's half-read escape) is wiped with every line. Not thread-safe.
class RequestReader final : private json::Handler {
  public:
    RequestReader() : parser_(*this, kMaxNesting) {}
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // feed reads the next bytes of the current line. Once the line cannot be a request, or memory
    // for what it holds cannot be had, the rest of the line is skipped (and in the second case the
    // request's memory is given back). Never raises.
    void feed(std::string_view bytes) noexcept;
    // finish ends the line: true when it was a request and request() holds its members; false
    // otherwise, the request then empty. Never raises.
    bool finish() noexcept;
    // request is the line's request, valid until reset().
    Request& request() { return request_; }
    // reset wipes the request and the reader's state, ready for the next line.
    void reset() noexcept;

  private:
    // Where the parts of the current key, string or number go.
    enum class Sink : std::uint8_t { none, key, text, base64, number };

    bool beginValue(Value type) override;
    void endContainer() override { --depth_; }
    void beginKey() override;
    void part(std::string_view bytes) override;
    void end() override;
    void fail() noexcept;

    json::StreamParser parser_;
    Request request_;
    Base64Stream base64_;
    json::ExactInteger number_;
    bool failed_ = false;
    Sink sink_ = Sink::none;
    std::size_t depth_ = 0;
    Request::Value* member_ = nullptr;  // the kept member whose value is being read
    // The key being read: its first characters and its whole length.
    static constexpr std::size_t kKeyRoom = 16;
    char key_[kKeyRoom] = {};
    std::size_t keyLength_ = 0;
};

}  // namespace quorvane
