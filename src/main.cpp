#include <csignal>
#include <string_view>
#include <vector>

#include "front/modes.h"
#include "os/process.h"

int main(int argc, char** argv) {
    // Before anything is read: no secret may ever sit in a process that can be dumped or traced.
    quorvane::os::protectProcess();
    quorvane::os::quietLibraryLogs();
    // A parent that goes away must not kill the helper mid-write; writes then fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return quorvane::runHelper(arguments);
}
