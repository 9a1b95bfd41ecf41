// The pipe reference of the end-to-end figures: a process that answers every line it reads on
// standard input with the same line on standard output and does nothing else. Driven exactly as
// the helper is, it measures what moving a request and a reply of that size through the two
// pipes costs by itself. Like the helper it widens both pipes to 1 MiB, reads in 1 MiB steps and
// answers a line only once all of it has arrived (a reply cannot start before its request is
// whole). Its buffer is one reservation of address space in huge pages that fills as lines
// arrive: the first long line pays for fresh memory as the helper's first one does, later lines
// reuse it.
//
// Usage: quorvane_pipe_echo (prints {"ready":true} first, like the helper)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::size_t kReserved = std::size_t{1} << 30;  // longest line: 1 GiB

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
    void* mapped = ::mmap(nullptr, kReserved, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return 1;
    (void)::madvise(mapped, kReserved, MADV_HUGEPAGE);
    char* buffer = static_cast<char*>(mapped);
    std::size_t filled = 0;   // bytes in buffer
    std::size_t scanned = 0;  // bytes known to hold no line feed
    for (;;) {
        if (const void* newline = std::memchr(buffer + scanned, '\n', filled - scanned)) {
            std::size_t end =
                static_cast<std::size_t>(static_cast<const char*>(newline) - buffer) + 1;
            if (!writeAll(buffer, end)) return 1;
            std::memmove(buffer, buffer + end, filled - end);
            filled -= end;
            scanned = 0;
            continue;
        }
        scanned = filled;
        if (kReserved - filled < kReadChunk) return 1;
        ssize_t n = ::read(STDIN_FILENO, buffer + filled, kReadChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        filled += static_cast<std::size_t>(n);
    }
}
