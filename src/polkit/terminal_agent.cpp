#include "polkit/terminal_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quorvane::platform {
namespace {

// The agent of polkit's own package, by its installed path: the helper never runs a program
// found through a search path. The guard script names the same path.
constexpr const char* kAgentPath = "/usr/bin/pkttyagent";
// The descriptor the agent closes once it registered (--notify-fd).
constexpr int kNotifyDescriptor = 3;
constexpr int kRegistrationMilliseconds = 5000;

// closedInTime waits until the agent closed its end of `notify`: it registered (or ended, which
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

void reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    reap(pid);
}

bool ended(pid_t pid) {
    int status = 0;
    pid_t changed = 0;
    while ((changed = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    return changed != 0;
}

// The guard, a script for the system's shell, with the helper's process id as $1. It starts the
// agent, which tells the helper through descriptor 3 that it registered (the guard closes its
// own copy at once), and stays until the agent ends or it is told to stop: by the helper, by the
// kernel when the helper is gone, or by the person's Ctrl-C or hang-up. It then stops the agent
// (waking it first, should the terminal have stopped it) and, when the agent left the terminal
// without echo, gives it back the settings it had before. Only programs of the base system, by
// their installed paths.
constexpr const char* kGuardScript = R"(stop=
agent=
trap 'stop=1; [ -z "$agent" ] || kill -TERM "$agent" 2>/dev/null; [ -z "$agent" ] || kill -CONT "$agent" 2>/dev/null' TERM INT HUP QUIT
saved=$(/usr/bin/stty -g <&1 2>/dev/null)
/usr/bin/pkttyagent --process "$1" --notify-fd 3 &
agent=$!
exec 3>&-
[ -z "$stop" ] || kill -TERM "$agent" 2>/dev/null
trap '' TTOU
while kill -0 "$agent" 2>/dev/null; do wait "$agent"; done
case " $(/usr/bin/stty -a <&1 2>/dev/null | /usr/bin/tr '\n' ' ') " in
*' -echo '*) [ -z "$saved" ] || /usr/bin/stty "$saved" <&1 2>/dev/null ;;
esac
)";
constexpr const char* kShellPath = "/bin/sh";

// runGuard is the child's side of fork: it arranges the descriptors and becomes the guard. It
// runs between fork and exec of a process that may have other threads, so only calls that are
// safe there, and it execs at once: a fork that stayed would keep a copy of the helper's memory
// for as long as the agent runs. It never returns.
[[noreturn]] void runGuard(pid_t helper, int terminal, int notify, const char* const* arguments) {
    // Ends with the helper, even one killed outright (the signal survives exec); a helper that
    // ended before this line was reached is no longer the parent.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != helper) ::_exit(127);
    // What the guard and the agent get: nothing to read but the terminal the agent opens itself,
    // the terminal for messages, the notify descriptor, and nothing else of the helper's (not
    // the application's pipes, not its bus connections).
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(terminal, STDOUT_FILENO) < 0 ||
        ::dup2(terminal, STDERR_FILENO) < 0 || ::dup2(notify, kNotifyDescriptor) < 0) {
        ::_exit(127);
    }
    ::syscall(SYS_close_range, kNotifyDescriptor + 1, ~0U, 0U);
    ::execve(kShellPath, const_cast<char* const*>(arguments), environ);
    ::_exit(127);
}

}  // namespace

TerminalAgent::~TerminalAgent() {
    if (pid_ > 0) stop(pid_);
}

bool TerminalAgent::start() {
    // Asked for only when no agent answers for this process: one started earlier is gone or on
    // its way out (the person pressed Ctrl-D at its prompt), so it makes way for a new one.
    if (pid_ > 0) {
        if (!ended(pid_)) stop(pid_);
        pid_ = -1;
    }
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
    // Everything the child uses is made before fork.
    const pid_t self = ::getpid();
    const std::string process = std::to_string(self);
    const char* arguments[] = {"sh",   "-c", kGuardScript, "quorvane-agent-guard", process.c_str(),
                               nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) runGuard(self, terminal, notify[1], arguments);
    ::close(terminal);
    ::close(notify[1]);
    if (pid < 0) {
        ::close(notify[0]);
        return false;
    }
    const bool closed = closedInTime(notify[0]);
    ::close(notify[0]);
    if (!closed) {
        stop(pid);
        return false;
    }
    // An agent that ended instead of registering (another agent already serves this process).
    if (ended(pid)) return false;
    pid_ = pid;
    return true;
}

}  // namespace quorvane::platform
