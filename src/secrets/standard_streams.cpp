#include "secrets/standard_streams.h"

#include <unistd.h>

#include <cerrno>

namespace quorvane {

std::optional<SecretBytes> readStandardInputToEnd() {
    constexpr std::size_t kChunk = 64 * 1024;
    SecretBytes input;
    for (;;) {
        std::uint8_t* free = input.extend(kChunk);
        ssize_t n;
        do {
            n = ::read(STDIN_FILENO, free, kChunk);
        } while (n < 0 && errno == EINTR);
        input.resize(input.size() - kChunk + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n < 0) return std::nullopt;
        if (n == 0) return input;
    }
}

bool writeStandardOutput(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace quorvane
