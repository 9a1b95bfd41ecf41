// A process of the helper's own user can neither attach to a running `--serve` helper with
// ptrace nor read its memory through /proc, while it can do both to an ordinary process it
// started the same way. Runs as root, since only root can drop to another user for the probe.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/helper_process.h"
#include "support/requirements.h"

namespace quorvane::testing {
namespace {

constexpr uid_t kProbeUser = 65534;  // "nobody": unprivileged, and not the test's own user

// What the probe saw; errno values, 0 when the step succeeded.
struct ProbeResult {
    int setupError = 0;     // the probe could not start its target
    int attachError = -1;   // PTRACE_ATTACH
    int memOpenError = -1;  // open(/proc/<pid>/mem)
    int memReadError = -1;  // pread of one mapped byte, when the open succeeded
    bool answeredAfter = false;
    int targetStatus = -1;  // the target's exit status after its input closed
};

int readLine(int fd, std::string* line) {
    line->clear();
    for (;;) {
        pollfd poller{fd, POLLIN, 0};
        if (poll(&poller, 1, 30000) <= 0) return ETIMEDOUT;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) return EPIPE;
        if (c == '\n') return 0;
        line->push_back(c);
    }
}

// The first readable address of `pid` from its maps, or 0.
unsigned long readableAddress(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && perms[0] == 'r' &&
            line.find("[vvar]") == std::string::npos) {
            return start;
        }
    }
    return 0;
}

// Ends the probing child, handing `result` to the test.
[[noreturn]] void report(int resultFd, ProbeResult& result, int setupError) {
    if (setupError != 0 && result.setupError == 0) result.setupError = setupError;
    (void)!write(resultFd, &result, sizeof result);
    _exit(0);
}

// Runs in a forked child as root: becomes kProbeUser, starts `argv` as its own child with pipes,
// waits for the target's first output line, then probes it as an ordinary same-user process
// would. The test process has one thread, so the forked child may use the ordinary library.
[[noreturn]] void probeAsUnprivilegedUser(const std::vector<std::string>& argv,
                                          const std::string& readyLine, int resultFd) {
    ProbeResult result;
    if (setgroups(0, nullptr) != 0 || setresgid(kProbeUser, kProbeUser, kProbeUser) != 0 ||
        setresuid(kProbeUser, kProbeUser, kProbeUser) != 0) {
        report(resultFd, result, errno);
    }
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) report(resultFd, result, errno);
    pid_t target = fork();
    if (target < 0) report(resultFd, result, errno);
    if (target == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        close(resultFd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string line;
    if (int error = readLine(out[0], &line); error != 0 || line != readyLine) {
        kill(target, SIGKILL);
        report(resultFd, result, error != 0 ? error : EPROTO);
    }

    result.attachError = ptrace(PTRACE_ATTACH, target, nullptr, nullptr) == 0 ? 0 : errno;
    if (result.attachError == 0) {
        int status = 0;
        waitpid(target, &status, __WALL);
        ptrace(PTRACE_DETACH, target, nullptr, nullptr);
    }
    std::string memPath = "/proc/" + std::to_string(target) + "/mem";
    int mem = open(memPath.c_str(), O_RDONLY);
    result.memOpenError = mem >= 0 ? 0 : errno;
    if (mem >= 0) {
        char byte;
        unsigned long address = readableAddress(target);
        result.memReadError = pread(mem, &byte, 1, static_cast<off_t>(address)) == 1 ? 0 : errno;
        close(mem);
    }

    // The target still works after the probe.
    const char request[] = "{\"id\":5,\"cmd\":\"create_session\"}\n";
    if (write(in[1], request, sizeof request - 1) == static_cast<ssize_t>(sizeof request - 1) &&
        readLine(out[0], &line) == 0) {
        result.answeredAfter = line.find("\"ok\":true") != std::string::npos || line == "answered";
    }
    close(in[1]);
    int status = 0;
    waitpid(target, &status, 0);
    result.targetStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    report(resultFd, result, 0);
}

ProbeResult probe(const std::vector<std::string>& argv, const std::string& readyLine) {
    int results[2];
    if (pipe(results) != 0) throw std::runtime_error("pipe failed");
    pid_t child = fork();
    if (child == 0) {
        close(results[0]);
        probeAsUnprivilegedUser(argv, readyLine, results[1]);
    }
    close(results[1]);
    ProbeResult result;
    result.setupError = EPROTO;
    ssize_t n = read(results[0], &result, sizeof result);
    close(results[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (n != static_cast<ssize_t>(sizeof result)) result.setupError = EPROTO;
    return result;
}

class ProcessProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_ROOT("needs root to probe from another user");
        // A copy the probe user can read and run: an unreadable binary would start non-dumpable
        // anyway and prove nothing.
        std::filesystem::permissions(directory_.path(), std::filesystem::perms(0755));
        helper_ = directory_.path() + "/quorvane-helper";
        std::filesystem::copy_file(QUORVANE_HELPER_PATH, helper_);
        std::filesystem::permissions(helper_, std::filesystem::perms(0755));
    }

    TempDir directory_;
    std::string helper_;
};

TEST_F(ProcessProtectionTest, SameUserCannotTraceOrReadTheServingHelper) {
    // The control: an ordinary program started the same way is open to the probe, so the
    // refusals below come from the helper itself, not from how the probe runs.
    ProbeResult control = probe({"/bin/sh", "-c", "echo ready; read x; echo answered"}, "ready");
    ASSERT_EQ(control.setupError, 0) << std::strerror(control.setupError);
    EXPECT_EQ(control.attachError, 0) << std::strerror(control.attachError);
    EXPECT_EQ(control.memOpenError, 0) << std::strerror(control.memOpenError);
    EXPECT_EQ(control.memReadError, 0) << std::strerror(control.memReadError);

    ProbeResult helper = probe({helper_, "--serve"}, R"({"ready":true})");
    ASSERT_EQ(helper.setupError, 0) << std::strerror(helper.setupError);
    EXPECT_EQ(helper.attachError, EPERM) << std::strerror(helper.attachError);
    EXPECT_EQ(helper.memOpenError, EACCES) << std::strerror(helper.memOpenError);
    EXPECT_TRUE(helper.answeredAfter);
    EXPECT_EQ(helper.targetStatus, 0);
}

TEST_F(ProcessProtectionTest, CoreDumpsAreOffInTheServingHelper) {
    // Started with core dumps allowed without limit, so a zero below is the helper's own doing.
    rlimit saved{};
    getrlimit(RLIMIT_CORE, &saved);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &unlimited), 0);
    ServingHelper helper({}, {"--serve"});
    setrlimit(RLIMIT_CORE, &saved);
    ASSERT_TRUE(helper.readLine());
    std::ifstream limits("/proc/" + std::to_string(helper.pid()) + "/limits");
    std::string line, core;
    while (std::getline(limits, line)) {
        if (line.rfind("Max core file size", 0) == 0) core = line;
    }
    std::istringstream fields(core.substr(std::strlen("Max core file size")));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, "0") << core;
    EXPECT_EQ(hard, "0") << core;
    helper.closeInput();
    EXPECT_EQ(helper.wait(), 0);
}

}  // namespace
}  // namespace quorvane::testing
