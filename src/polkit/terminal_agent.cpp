#include "polkit/terminal_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quorvane::platform {
namespace {

// The agent of polkit's own package, by its installed path: the helper never runs a program
// found through a search path.
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

// keepEchoOf puts back the echo and line editing of `terminal` as `saved` had them: pkttyagent
// turns echo off while the person types, and one ended in the middle leaves it off.
void keepEchoOf(int terminal, const termios& saved) {
    constexpr tcflag_t kEcho = ECHO | ECHOE | ECHOK | ECHONL | ICANON;
    termios now{};
    if (::tcgetattr(terminal, &now) != 0) return;
    now.c_lflag = (now.c_lflag & ~kEcho) | (saved.c_lflag & kEcho);
    ::tcsetattr(terminal, TCSANOW, &now);
}

// runGuard is the child's side of fork: it runs the agent and stays until the agent ends, or
// until it is told to end (by the helper, or by the kernel when the helper is gone), then stops
// the agent and gives the terminal its echo back. It runs between fork and exec of a process
// that may have other threads, so only calls that are safe there. It never returns.
[[noreturn]] void runGuard(pid_t helper, int terminal, int notify, const char* const* arguments) {
    // Signals that end the guard are taken in turn by sigwaitinfo, never by a handler; SIGTTOU
    // is held too, so that a guard in a background job still sets the terminal back.
    sigset_t ending;
    ::sigemptyset(&ending);
    for (int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) ::sigaddset(&ending, signal);
    sigset_t held = ending;
    ::sigaddset(&held, SIGTTOU);
    sigset_t previous;
    ::sigprocmask(SIG_BLOCK, &held, &previous);
    // Ends with the helper, even one killed outright; a helper that ended before this line was
    // reached is no longer the parent.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != helper) ::_exit(127);
    // What the agent gets: nothing to read but the terminal it opens itself, the terminal for
    // its messages, its notify descriptor, and nothing else of the helper's (not the
    // application's pipes, not its bus connections).
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(terminal, STDOUT_FILENO) < 0 ||
        ::dup2(terminal, STDERR_FILENO) < 0 || ::dup2(notify, kNotifyDescriptor) < 0) {
        ::_exit(127);
    }
    ::syscall(SYS_close_range, kNotifyDescriptor + 1, ~0U, 0U);
    termios saved{};
    const bool echoKnown = ::tcgetattr(STDOUT_FILENO, &saved) == 0;

    const pid_t guard = ::getpid();
    const pid_t agent = ::fork();
    if (agent == 0) {
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != guard) ::_exit(127);
        ::execve(kAgentPath, const_cast<char* const*>(arguments), environ);
        ::_exit(127);
    }
    ::close(kNotifyDescriptor);
    if (agent < 0) ::_exit(127);
    for (;;) {
        siginfo_t info{};
        const int signal = ::sigwaitinfo(&ending, &info);
        if (signal < 0) continue;
        if (signal == SIGCHLD) {
            int status = 0;
            if (::waitpid(agent, &status, WNOHANG) == agent) break;
            continue;
        }
        ::kill(agent, SIGTERM);
        while (::waitpid(agent, nullptr, 0) < 0 && errno == EINTR) {
        }
        break;
    }
    if (echoKnown) keepEchoOf(STDOUT_FILENO, saved);
    ::_exit(0);
}

}  // namespace

TerminalAgent::~TerminalAgent() {
    if (pid_ > 0) stop(pid_);
}

bool TerminalAgent::start() {
    if (pid_ > 0) {
        if (!ended(pid_)) return true;
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
    const std::string notifyText = std::to_string(kNotifyDescriptor);
    const char* arguments[] = {kAgentPath,    "--process",        process.c_str(),
                               "--notify-fd", notifyText.c_str(), nullptr};
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
