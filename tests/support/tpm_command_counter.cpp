#include "support/tpm_command_counter.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quorvane::testing {
namespace {

std::string pathOf(const std::string& tcti) {
    const std::string prefix = "swtpm:path=";
    if (tcti.rfind(prefix, 0) != 0) throw std::runtime_error("not a swtpm TCTI: " + tcti);
    return tcti.substr(prefix.size());
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

bool readAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = ::write(fd, data, size);
        if (wrote <= 0) return false;
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    return true;
}

// readMessage reads one TPM command or response: a 10-byte header whose bytes 2..5 hold the
// whole size, big-endian, then the rest.
bool readMessage(int fd, std::vector<std::uint8_t>& message) {
    message.assign(10, 0);
    if (!readAll(fd, message.data(), 10)) return false;
    const std::uint32_t size = (std::uint32_t{message[2]} << 24) |
                               (std::uint32_t{message[3]} << 16) |
                               (std::uint32_t{message[4]} << 8) | message[5];
    if (size < 10 || size > 65536) return false;
    message.resize(size);
    return readAll(fd, message.data() + 10, size - 10);
}

std::string commandName(std::uint32_t code) {
    static const std::map<std::uint32_t, std::string> names = {
        {0x131, "CreatePrimary"}, {0x153, "Create"},      {0x154, "ECDH_ZGen"},
        {0x157, "Load"},          {0x161, "ContextLoad"}, {0x162, "ContextSave"},
        {0x165, "FlushContext"},  {0x173, "ReadPublic"},  {0x176, "StartAuthSession"},
        {0x17A, "GetCapability"}, {0x144, "Startup"},
    };
    if (auto found = names.find(code); found != names.end()) return found->second;
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%03x", code);
    return hex;
}

}  // namespace

TpmCommandCounter::TpmCommandCounter(const std::string& swtpmTcti) : upstream_(pathOf(swtpmTcti)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(socket());
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 16) != 0 || pipe(wake_) != 0) {
        throw std::runtime_error("the TPM command counter cannot listen");
    }
    retarget(swtpmTcti);
    server_ = std::thread([this] { serve(); });
}

TpmCommandCounter::~TpmCommandCounter() {
    (void)!::write(wake_[1], "x", 1);
    server_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int client : clients_) shutdown(client, SHUT_RDWR);
    }
    for (std::thread& relay : relays_) relay.join();
    for (int client : clients_) close(client);
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
}

void TpmCommandCounter::retarget(const std::string& swtpmTcti) {
    const std::string path = pathOf(swtpmTcti);
    const std::string link = socket() + ".ctrl";
    unlink(link.c_str());
    if (symlink((path + ".ctrl").c_str(), link.c_str()) != 0) {
        throw std::runtime_error("the TPM command counter cannot link the control socket");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    upstream_ = path;
}

std::string TpmCommandCounter::upstream() {
    std::lock_guard<std::mutex> lock(mutex_);
    return upstream_;
}

std::map<std::string, unsigned> TpmCommandCounter::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, unsigned> taken;
    taken.swap(counts_);
    return taken;
}

void TpmCommandCounter::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.push_back(client);
        relays_.emplace_back([this, client] { relay(client); });
    }
}

void TpmCommandCounter::relay(int client) {
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(upstream());
    if (server >= 0 &&
        connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        std::vector<std::uint8_t> message;
        // One command, then its response: the TPM answers each before it takes the next.
        while (readMessage(client, message)) {
            const std::uint32_t code = (std::uint32_t{message[6]} << 24) |
                                       (std::uint32_t{message[7]} << 16) |
                                       (std::uint32_t{message[8]} << 8) | message[9];
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++counts_[commandName(code)];
            }
            if (!writeAll(server, message.data(), message.size()) ||
                !readMessage(server, message) ||
                !writeAll(client, message.data(), message.size())) {
                break;
            }
        }
    }
    if (server >= 0) close(server);
    std::lock_guard<std::mutex> lock(mutex_);
    // The client's descriptor stays open until the destructor has shut every relay down.
    shutdown(client, SHUT_RDWR);
}

std::string describe(const std::map<std::string, unsigned>& counts) {
    std::string text;
    for (const auto& [name, count] : counts) {
        if (!text.empty()) text += ", ";
        text += name + " " + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

}  // namespace quorvane::testing
