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
    // Move the pending bytes to the front before growing, so the buffer never holds more than
    // the longest line plus one chunk.
    if (start_ > 0) {
        std::size_t pending = end_ - start_;
        std::memmove(buffer_.data(), buffer_.data() + start_, pending);
        wipeMemory(buffer_.data() + pending, start_);  // the stale copy left behind
        end_ = pending;
        start_ = 0;
    }
    if (buffer_.size() < end_ + kReadChunk + padding_) {
        // Grow geometrically without touching the new room: pages become resident only as
        // input arrives, which keeps the peak resident size close to the line's own size.
        buffer_.reserve(std::max(end_ + kReadChunk + padding_, buffer_.capacity() * 2));
        buffer_.extend(buffer_.capacity() - buffer_.size());
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_ - padding_);
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

std::optional<std::span<char>> LineReader::next() {
    start_ += consumed_;
    consumed_ = 0;
    std::size_t scanned = 0;
    for (;;) {
        auto* base = reinterpret_cast<char*>(buffer_.data()) + start_;
        std::size_t pending = end_ - start_;
        if (scanned < pending) {
            const void* newline = std::memchr(base + scanned, '\n', pending - scanned);
            if (newline != nullptr) {
                std::size_t length =
                    static_cast<std::size_t>(static_cast<const char*>(newline) - base);
                consumed_ = length + 1;
                if (length > 0 && base[length - 1] == '\r') --length;
                lineStart_ = start_;
                return std::span<char>(base, length);
            }
            scanned = pending;
        }
        if (!fill()) {
            if (end_ == start_) return std::nullopt;
            // The last line has no terminator; fill() left padding room behind it.
            lineStart_ = start_;
            consumed_ = end_ - start_;
            return std::span<char>(reinterpret_cast<char*>(buffer_.data()) + start_, consumed_);
        }
    }
}

void LineReader::wipeCurrentLine() { wipeMemory(buffer_.data() + lineStart_, consumed_); }

}  // namespace quorvane
