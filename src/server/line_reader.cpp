#include "server/line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/platform_error.h"

namespace quorvane {
namespace {

// Large reads keep the number of system calls (and wake-ups of the writer) low for bulk
// requests; small requests are unaffected because read returns what is there.
constexpr std::size_t kReadChunk = 1 << 20;

}  // namespace

bool LineReader::fill() {
    if (eof_) return false;
    if (buffer_.empty()) buffer_.extend(kReadChunk);
    // What is left (at most a carriage return waiting for what follows it) moves to the front.
    std::size_t pending = end_ - start_;
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, pending);
        std::size_t stale = std::max(pending, start_);  // what the move left behind
        wipeMemory(buffer_.data() + stale, end_ - stale);
    }
    start_ = 0;
    end_ = pending;
    for (;;) {
        ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR)
            throw PlatformError(std::string("read failed: ") + std::strerror(errno));
    }
}

LineReader::Piece LineReader::hand(std::size_t length, std::size_t consumed, bool endsLine) {
    const char* bytes = reinterpret_cast<const char*>(buffer_.data()) + start_;
    lastStart_ = start_;
    lastLength_ = consumed;
    start_ += consumed;
    inLine_ = !endsLine;
    return {{bytes, length}, endsLine};
}

std::optional<LineReader::Piece> LineReader::next() {
    wipeMemory(buffer_.data() + lastStart_, lastLength_);
    lastLength_ = 0;
    for (;;) {
        const char* base = reinterpret_cast<const char*>(buffer_.data()) + start_;
        std::size_t pending = end_ - start_;
        if (pending > 0) {
            if (const void* newline = std::memchr(base, '\n', pending)) {
                auto length = static_cast<std::size_t>(static_cast<const char*>(newline) - base);
                std::size_t consumed = length + 1;
                if (length > 0 && base[length - 1] == '\r') --length;
                return hand(length, consumed, true);
            }
            // A carriage return at the end may be the one before the line feed: it waits.
            std::size_t length = base[pending - 1] == '\r' ? pending - 1 : pending;
            if (length > 0) return hand(length, length, false);
        }
        if (!fill()) {
            // End of input: a line left open ends here, a waiting carriage return with it.
            if (end_ == start_ && !inLine_) return std::nullopt;
            return hand(end_ - start_, end_ - start_, true);
        }
    }
}

}  // namespace quorvane
