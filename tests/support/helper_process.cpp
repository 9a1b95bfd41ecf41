#include "support/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quorvane::testing {
namespace {

std::vector<std::string> buildEnvironment(const EnvironmentOverrides& overrides) {
    std::map<std::string, std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) entries[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    // A child reaches a session bus only when a test gives it one: run on a desktop, the tests
    // must not store into the developer's own keyring.
    entries.erase("DBUS_SESSION_BUS_ADDRESS");
    entries.erase("XDG_RUNTIME_DIR");
    for (const auto& [name, value] : overrides) entries[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : entries) result.push_back(name + "=" + value);
    return result;
}

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const EnvironmentOverrides& overrides, int stdinFd, int stdoutFd, int stderrFd,
                   std::vector<int> closeInChild) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
    for (int fd : closeInChild) posix_spawn_file_actions_addclose(&actions, fd);

    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto envStrings = buildEnvironment(overrides);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
    return pid;
}

pid_t spawnHelper(const std::vector<std::string>& arguments, const EnvironmentOverrides& overrides,
                  int stdinFd, int stdoutFd, int stderrFd, std::vector<int> closeInChild) {
    return spawnProgram(QUORVANE_HELPER_PATH, arguments, overrides, stdinFd, stdoutFd, stderrFd,
                        std::move(closeInChild));
}

int decodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const EnvironmentOverrides& environment, const std::string& input,
                   const std::string& logPath) {
    int inPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) throw std::runtime_error("cannot open " + logPath);

    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto envStrings = buildEnvironment(environment);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    // A service started for a test must not outlive the test, even one that is killed (a
    // timeout, a crash) before its destructors run: the child asks for SIGTERM when its parent
    // goes. posix_spawn cannot ask for that, so this forks; only async-signal-safe calls follow.
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent) _exit(127);
        if (dup2(inPipe[0], 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(log);
    // A short input fits the pipe, so this never waits for the child.
    if (write(inPipe[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(inPipe[1]);
        throw std::runtime_error("cannot feed " + program);
    }
    close(inPipe[1]);
    return pid;
}

void stopProgram(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int raw = 0;
    waitpid(pid, &raw, 0);
}

RunResult runHelper(const std::vector<std::string>& arguments, const std::string& input,
                    const EnvironmentOverrides& environment) {
    return runProgram(QUORVANE_HELPER_PATH, arguments, input, environment);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& input, const EnvironmentOverrides& environment) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid =
        spawnProgram(program, arguments, environment, inPipe[0], outPipe[1], errPipe[1], {});
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    // Feed standard input from a thread so a child that never reads cannot block us.
    std::thread feeder([fd = inPipe[1], input] {
        signal(SIGPIPE, SIG_IGN);
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t n = write(fd, input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    });

    RunResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    feeder.join();
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.status = decodeStatus(raw);
    return result;
}

ServingHelper::ServingHelper(const EnvironmentOverrides& environment,
                             std::vector<std::string> arguments) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = spawnHelper(arguments, environment, inPipe[0], outPipe[1], -1, {});
    close(inPipe[0]);
    close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
}

ServingHelper::~ServingHelper() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (!status_) {
        kill(pid_, SIGKILL);
        int raw = 0;
        waitpid(pid_, &raw, 0);
    }
}

void ServingHelper::send(const std::string& bytes) {
    signal(SIGPIPE, SIG_IGN);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("helper closed its input");
        done += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> ServingHelper::readLine(int timeoutMs) {
    for (;;) {
        auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        pollfd fd{out_, POLLIN, 0};
        int ready = poll(&fd, 1, timeoutMs);
        if (ready <= 0) return std::nullopt;
        char buffer[1 << 16];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ServingHelper::request(const std::string& line) {
    send(line + "\n");
    auto reply = readLine();
    if (!reply) throw std::runtime_error("no reply to a request");
    return *reply;
}

void ServingHelper::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int ServingHelper::wait() {
    if (!status_) {
        int raw = 0;
        waitpid(pid_, &raw, 0);
        status_ = decodeStatus(raw);
    }
    return *status_;
}

}  // namespace quorvane::testing
