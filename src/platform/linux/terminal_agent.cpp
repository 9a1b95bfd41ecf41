#include "platform/linux/terminal_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace quorvane::platform {
namespace {

// The agent of polkit's own package, by its installed path: the helper never runs a program
// found through a search path.
constexpr const char* kAgentPath = "/usr/bin/pkttyagent";
// The descriptor the agent closes once it registered (--notify-fd).
constexpr int kNotifyDescriptor = 3;
constexpr int kRegistrationMilliseconds = 5000;

// registered waits until the agent closed its end of `notify`: it registered (or ended, which
// the caller tells apart by the process).
bool closedInTime(int notify) {
    pollfd watched{notify, POLLIN, 0};
    char byte = 0;
    for (;;) {
        int ready = ::poll(&watched, 1, kRegistrationMilliseconds);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t got = ::read(notify, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) return true;
    }
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

TerminalAgent::~TerminalAgent() {
    if (pid_ > 0) stop(pid_);
}

bool TerminalAgent::start() {
    if (pid_ > 0) return true;
    // The controlling terminal, whatever standard input and output are (the application's
    // pipes): that is where the agent asks.
    const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return false;
    if (::access(kAgentPath, X_OK) != 0) {
        ::close(terminal);
        return false;
    }
    int notify[2];
    if (::pipe2(notify, O_CLOEXEC) != 0) {
        ::close(terminal);
        return false;
    }
    // The agent gets the terminal for its output, nothing to read but the terminal it opens
    // itself, its notify descriptor, and no other descriptor of the helper.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, terminal, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, terminal, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, notify[1], kNotifyDescriptor);
    posix_spawn_file_actions_addclosefrom_np(&actions, kNotifyDescriptor + 1);
    const std::string process = std::to_string(::getpid());
    const std::string notifyText = std::to_string(kNotifyDescriptor);
    const char* arguments[] = {kAgentPath,    "--process",        process.c_str(),
                               "--notify-fd", notifyText.c_str(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, kAgentPath, &actions, nullptr,
                                      const_cast<char* const*>(arguments), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(terminal);
    ::close(notify[1]);
    if (spawned != 0) {
        ::close(notify[0]);
        return false;
    }
    const bool closed = closedInTime(notify[0]);
    ::close(notify[0]);
    int status = 0;
    // An agent that ended instead of registering (another agent already serves this process).
    if (!closed || ::waitpid(pid, &status, WNOHANG) != 0) {
        stop(pid);
        return false;
    }
    pid_ = pid;
    return true;
}

}  // namespace quorvane::platform
