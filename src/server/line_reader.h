#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "crypto/secret_bytes.h"

namespace quorvane {

// LineReader reads lines from a file descriptor into one reused buffer. Lines end at a line feed;
// a carriage return right before it is removed too; a last line without a terminator still counts;
// an empty line is a line. Request lines can carry keys and passwords, so the buffer is secret
// storage and each line is wiped once it has been handled.
class LineReader {
  public:
    // `padding` bytes after every returned line stay readable (the JSON parser reads ahead).
    LineReader(int fd, std::size_t padding) : fd_(fd), padding_(padding) {}

    // next returns the next line, or nothing at end of input. The bytes are valid, and the
    // caller's to rewrite, until the next call. Raises PlatformError when reading fails for a
    // reason other than end of input.
    std::optional<std::span<char>> next();

    // wipeCurrentLine overwrites the bytes of the line last returned by next().
    void wipeCurrentLine();

  private:
    bool fill();  // reads more input; false at end of input

    int fd_;
    std::size_t padding_;
    SecretBytes buffer_;     // its whole capacity is in use; start_/end_ delimit the input
    std::size_t start_ = 0;  // first byte not yet returned
    std::size_t end_ = 0;    // one past the last byte read
    bool eof_ = false;
    std::size_t lineStart_ = 0;  // where the line last returned starts
    std::size_t consumed_ = 0;   // its length with its terminator
};

}  // namespace quorvane
