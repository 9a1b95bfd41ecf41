#include "support/swtpm.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace quorvane::testing {
namespace {

bool accepts(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

// alive: the process still runs. A daemon is not our child, so once it ended it may linger as a
// zombie until whoever adopted it reaps it; that counts as gone.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

}  // namespace

bool Swtpm::available() { return access("/usr/bin/swtpm", X_OK) == 0; }

Swtpm::Swtpm() {
    try {
        start();
    } catch (...) {
        // A constructor that fails runs no destructor, and swtpm is a daemon of its own.
        stop(false);
        throw;
    }
}

// The state is thrown away with the directory, so there is nothing to wait for.
Swtpm::~Swtpm() { stop(false); }

void Swtpm::start() {
    const std::string& d = directory_.path();
    const std::string command =
        "swtpm socket --tpm2 --tpmstate dir=" + d + " --server type=unixio,path=" + d + "/sock" +
        " --ctrl type=unixio,path=" + d + "/sock.ctrl" +
        " --flags not-need-init,startup-clear --pid file=" + d + "/pid --daemon";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("swtpm did not start");
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::ifstream pidFile(d + "/pid");
        if (pid_ <= 0) pidFile >> pid_;
        if (pid_ > 0 && accepts(socket())) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("swtpm does not accept connections");
}

void Swtpm::stop(bool keepState) {
    if (pid_ <= 0) return;
    kill(pid_, keepState ? SIGTERM : SIGKILL);
    // swtpm is a daemon (not our child): wait for it to go so its state file is complete.
    for (int attempt = 0; attempt < 500 && alive(pid_); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (alive(pid_)) kill(pid_, SIGKILL);
    pid_ = -1;
    unlink(socket().c_str());
    unlink((directory_.path() + "/pid").c_str());
}

void Swtpm::restart() {
    stop();
    start();
}

}  // namespace quorvane::testing
