// The pipe reference of the end-to-end figures: a process that answers every line it reads on
// standard input with the same line on standard output and does nothing else. Driven exactly as
// the helper is, it measures what moving a request and a reply of that size through the two
// pipes costs by itself. Like the helper it widens both pipes to 1 MiB, reads in 1 MiB steps and
// answers a line only once all of it has arrived (a reply cannot start before its request is
// whole). Its buffer is reused, so after the first line it costs no page faults.
//
// Usage: quorvane_pipe_echo (prints {"ready":true} first, like the helper)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

bool writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main() {
    (void)::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
    (void)::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
    static const char kReady[] = "{\"ready\":true}\n";
    if (!writeAll(kReady, sizeof kReady - 1)) return 1;
    std::vector<char> buffer(2 * kReadChunk);
    std::size_t filled = 0;   // bytes in buffer
    std::size_t scanned = 0;  // bytes known to hold no line feed
    for (;;) {
        if (const void* newline = std::memchr(buffer.data() + scanned, '\n', filled - scanned)) {
            std::size_t end = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer.data()) + 1;
            if (!writeAll(buffer.data(), end)) return 1;
            std::memmove(buffer.data(), buffer.data() + end, filled - end);
            filled -= end;
            scanned = 0;
            continue;
        }
        scanned = filled;
        if (buffer.size() - filled < kReadChunk) buffer.resize(buffer.size() * 2);
        ssize_t n = ::read(STDIN_FILENO, buffer.data() + filled, kReadChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        filled += static_cast<std::size_t>(n);
    }
}
