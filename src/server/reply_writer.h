#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// ReplyWriter builds one compact JSON reply line in a reused buffer. Replies can carry decrypted
// plaintext, so the buffer is secret storage and is wiped after each line is written. Strings are
// escaped with "/" written as "\/", control characters escaped, everything else as raw UTF-8.
//
// A long string member (a bulk payload) can be produced instead of stored: its text is made in
// bounded pieces while the reply is sent, so the reply never exists whole in memory. Everything
// that can fail happens before send() writes the first byte; a produced member only encodes
// bytes that are already checked. Not thread-safe.
class ReplyWriter {
  public:
    // Output takes the next bytes of the reply; false when they can no longer be delivered (the
    // reader has gone), which ends the reply early.
    using Output = std::function<bool(std::string_view bytes)>;
    // TextProducer writes characters [offset, offset + count) of a produced member's text to
    // `out` as a JSON string holds them, each '/' as "\/" (base64 has nothing else to escape),
    // and returns how many bytes that took; `out` has room for 2 * count. Offsets and counts are
    // multiples of 4 (a whole number of base64 groups).
    using TextProducer =
        std::function<std::size_t(std::size_t offset, std::size_t count, char* out)>;
    // Produced texts are made in pieces of this many characters (a multiple of 4); a text no
    // longer than one piece is written into the buffer at once.
    static constexpr std::size_t kPiece = 256 * 1024;

    // begin starts a successful reply: {"id":<id>,"ok":true
    void begin(std::int64_t id);
    // fail discards whatever the reply holds and makes it {"id":<id>,"ok":false,"error":<text>}.
    void fail(std::int64_t id, std::string_view error);
    // ready makes the readiness line {"ready":true}.
    void ready();

    void addString(std::string_view name, std::string_view value);
    void addInteger(std::string_view name, std::int64_t value);
    // addBase64 adds a string member holding the base64 text of first || second.
    void addBase64(std::string_view name, std::span<const std::uint8_t> first,
                   std::span<const std::uint8_t> second = {});

    // addProducedString adds a string member of `length` characters (unescaped) made by
    // `produce` when the reply is sent or line() is read. At most one per reply; what `produce`
    // reads must stay valid and unchanged until then. Raises std::bad_alloc (before anything is
    // sent) when the piece buffer cannot be had, std::logic_error for a second one.
    void addProducedString(std::string_view name, std::size_t length, TextProducer produce);

    // Arrays of strings: beginArray, then arrayString / arrayBase64 per element, endArray.
    void beginArray(std::string_view name);
    void arrayString(std::string_view value);
    void arrayBase64(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second);
    void endArray();

    // finish closes the object and appends the line feed; the line is then `line()`.
    void finish();
    // send writes the finished line through `output`, producing a produced member piece by piece
    // between the bytes before and after it. Stops at the first write `output` refuses. Raises
    // nothing unless `output` does.
    void send(const Output& output);
    // line is the whole finished line. A produced member is made into the buffer first, so the
    // line then takes its full size in memory (tests and fuzzing read replies this way). Raises
    // std::bad_alloc when that memory cannot be had.
    std::string_view line();
    // reserve makes room for `bytes` more, so large replies grow once.
    void reserve(std::size_t bytes) { buffer_.reserve(buffer_.size() + bytes); }
    // wipe clears the line (and the last piece made of a produced member) after it was written.
    void wipe();

  private:
    void appendText(std::string_view text);
    void appendEscaped(std::string_view text);
    void appendName(std::string_view name);
    // appendBase64 appends the base64 text of first || second, quotes included.
    void appendBase64(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second);
    char* grow(std::size_t length);
    // scratch returns `length` bytes of the piece buffer, for text on its way into the reply.
    char* scratch(std::size_t length);

    void discardProduced();

    SecretBytes buffer_;
    bool firstInArray_ = false;
    // The produced member, if any: its text goes at producedAt_ in buffer_ (between its quotes).
    TextProducer produce_;
    std::size_t producedAt_ = 0;
    std::size_t producedLength_ = 0;
    // Reused for the pieces of produced members and for base64 text on its way into the buffer; as
    // large as the largest use so far, so a helper that never answers a bulk request never holds a
    // large one.
    SecretBytes piece_;
    std::size_t pieceUsed_ = 0;
};

}  // namespace quorvane
