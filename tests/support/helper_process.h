#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::testing {

// TempDir makes a fresh private directory and removes it with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Environment for a helper child: the parent's environment with these entries replaced.
using EnvironmentOverrides = std::map<std::string, std::string>;

// RunResult of a one-shot helper run.
struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// runHelper runs the built helper once with `arguments`, feeding `input` on standard input
// (closed afterwards), and waits for it to end.
RunResult runHelper(const std::vector<std::string>& arguments, const std::string& input = "",
                    const EnvironmentOverrides& environment = {});

// startProgram starts `program` (an absolute path) in the background with `input` (at most a
// few kilobytes) on its standard input, then closed, and its standard output and error appended
// to `logPath`. Returns its process id; stop it with stopProgram. The program gets SIGTERM if the
// calling thread ends first (call it from the thread that outlives the program).
pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const EnvironmentOverrides& environment, const std::string& input,
                   const std::string& logPath);
// stopProgram ends a started program with SIGTERM and waits for it.
void stopProgram(pid_t pid);

// runProgram does the same for any program (an absolute path), until its output pipes close.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& input = "", const EnvironmentOverrides& environment = {});

// ServingHelper drives `quorvane-helper --serve` through its pipes as the application does.
class ServingHelper {
  public:
    explicit ServingHelper(const EnvironmentOverrides& environment = {},
                           std::vector<std::string> arguments = {"--serve"});
    ~ServingHelper();

    // send writes raw bytes to the helper's standard input.
    void send(const std::string& bytes);
    // readLine returns the next line of standard output (without its line feed), or nothing when
    // output ended or nothing arrived within `timeoutMs`.
    std::optional<std::string> readLine(int timeoutMs = 60000);
    // request sends one line and returns the reply line.
    std::string request(const std::string& line);
    // closeInput closes the helper's standard input.
    void closeInput();
    // wait waits for the helper to end and returns its exit status.
    int wait();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string pending_;
    std::optional<int> status_;
};

}  // namespace quorvane::testing
