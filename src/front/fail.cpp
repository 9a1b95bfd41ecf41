#include "front/fail.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvane {

void fail(std::string_view message, int code) {
    std::string line(message);
    line.push_back('\n');
    std::size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    std::exit(code);
}

}  // namespace quorvane
