#include "server/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform_error.h"

namespace quorvane {
namespace {
constexpr std::size_t kReadChunk = 1 << 16;
}

bool LineReader::fill() {
    if (eof_) return false;
    // Move the pending bytes to the front before growing, so the buffer never holds more than
    // the longest line plus one chunk.
    if (start_ > 0) {
        std::size_t pending = end_ - start_;
        std::memmove(buffer_.data(), buffer_.data() + start_, pending);
        wipeMemory(buffer_.data() + pending, start_);
        end_ = pending;
        start_ = 0;
    }
    std::size_t wanted = end_ + kReadChunk + padding_;
    if (buffer_.size() < wanted) {
        buffer_.resize(std::max(wanted, buffer_.size() * 2));
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
        if (errno != EINTR) throw PlatformError(std::string("read failed: ") + std::strerror(errno));
    }
}

std::optional<std::string_view> LineReader::next() {
    start_ += consumed_;
    consumed_ = 0;
    scanned_ = 0;
    for (;;) {
        const auto* base = buffer_.data() + start_;
        std::size_t pending = end_ - start_;
        if (scanned_ < pending) {
            const void* newline = std::memchr(base + scanned_, '\n', pending - scanned_);
            if (newline != nullptr) {
                std::size_t length = static_cast<const std::uint8_t*>(newline) - base;
                consumed_ = length + 1;
                if (length > 0 && base[length - 1] == '\r') --length;
                lineStart_ = start_;
                lineLength_ = length;
                return std::string_view(reinterpret_cast<const char*>(base), length);
            }
            scanned_ = pending;
        }
        if (!fill()) {
            if (end_ == start_) return std::nullopt;
            // The last line has no terminator.
            lineStart_ = start_;
            lineLength_ = end_ - start_;
            consumed_ = lineLength_;
            if (buffer_.size() < end_ + padding_) buffer_.resize(end_ + padding_);
            return std::string_view(reinterpret_cast<const char*>(buffer_.data() + start_), lineLength_);
        }
    }
}

void LineReader::wipeCurrentLine() {
    wipeMemory(buffer_.data() + lineStart_, consumed_);
}

}  // namespace quorvane
