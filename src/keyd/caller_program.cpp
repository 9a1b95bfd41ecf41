#include "keyd/caller_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>

namespace quorvane::keyd {
namespace {

// readSmall reads up to a page of a /proc file; empty when it cannot be read. /proc/<pid>/stat
// and comm are written by the kernel in one piece, so one read gives the whole of them.
std::string readSmall(const std::string& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) return {};
    std::array<char, 4096> buffer{};
    ssize_t got = -1;
    do {
        got = ::read(file, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    ::close(file);
    return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

std::string procPath(pid_t pid, const char* file) {
    return "/proc/" + std::to_string(pid) + "/" + file;
}

}  // namespace

pid_t parentOf(pid_t pid) {
    if (pid <= 0) return -1;
    const std::string stat = readSmall(procPath(pid, "stat"));
    // "pid (name) state ppid ...": the name may hold spaces and parentheses, so the fields
    // are counted from its last ')'.
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 4 >= stat.size()) return -1;
    const char* field = stat.data() + nameEnd + 4;  // past ") S "
    const char* end = stat.data() + stat.size();
    pid_t parent = -1;
    const auto [stop, error] = std::from_chars(field, end, parent);
    if (error != std::errc() || stop == field || parent <= 0) return -1;
    return parent;
}

std::string printableName(std::string_view raw) {
    std::string name;
    name.reserve(raw.size());
    for (char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        name.push_back(byte >= 0x20 && byte < 0x7f ? c : '?');
    }
    return name;
}

std::string programName(pid_t pid) {
    if (pid <= 0) return {};
    std::string comm = readSmall(procPath(pid, "comm"));
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return printableName(comm);
}

std::string programOfCaller(pid_t pid) {
    std::string name = programName(parentOf(pid));
    return name.empty() ? std::string("an unknown program") : name;
}

}  // namespace quorvane::keyd
