#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// LineReader reads lines from a file descriptor piece by piece as they arrive, through one reused
// buffer, so a line is never held whole however long it is. Lines end at a line feed; a carriage
// return right before it is removed too; a last line without a terminator still counts; an empty
// line is a line. Request lines carry keys and passwords, so the buffer is secret storage and each
// piece is wiped once the caller is done with it. Not thread-safe.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    struct Piece {
        std::string_view bytes;  // the next bytes of the current line, possibly none
        bool endsLine;           // whether the line ends after them
    };
    // next wipes the piece it returned last and returns the next one, or nothing at end of input
    // when no line is left open. The bytes are valid until the next call. Raises PlatformError
    // when reading fails for a reason other than end of input.
    std::optional<Piece> next();

  private:
    bool fill();  // reads more input; false at end of input
    Piece hand(std::size_t length, std::size_t consumed, bool endsLine);

    int fd_;
    SecretBytes buffer_;
    std::size_t start_ = 0;  // first byte not yet handed out
    std::size_t end_ = 0;    // one past the last byte read
    bool eof_ = false;
    bool inLine_ = false;        // part of the current line was handed out
    std::size_t lastStart_ = 0;  // the bytes of the last piece, its terminator included
    std::size_t lastLength_ = 0;
};

}  // namespace quorvane
