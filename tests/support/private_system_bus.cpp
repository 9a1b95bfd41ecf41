#include "support/private_system_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_bus.h"

extern char** environ;

namespace quorvane::testing {
namespace {

constexpr const char* kPolkitName = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr const char* kMockInterface = "org.freedesktop.DBus.Mock";
constexpr auto kStartLimit = std::chrono::seconds(30);

std::vector<std::string> environmentWith(const std::string& name, const std::string& value) {
    std::vector<std::string> entries;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, (name + "=").c_str(), name.size() + 1) != 0) entries.emplace_back(*e);
    }
    entries.push_back(name + "=" + value);
    return entries;
}

// spawn starts `argv` with standard output to `stdoutFd` (or the log file) and standard error to
// the log file, with `environment`.
pid_t spawn(std::vector<std::string> argv, const std::vector<std::string>& environment,
            int stdoutFd, const std::string& logPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int raw = 0;
    waitpid(pid, &raw, 0);
    pid = -1;
}

using Connection = BusConnection;

void check(int result, const sd_bus_error& error, const char* what) {
    if (result >= 0) return;
    std::string text = std::string(what) + ": ";
    text += error.message != nullptr ? error.message : std::strerror(-result);
    throw std::runtime_error(text);
}

bool nameHasOwner(const std::string& address, const char* name) {
    Connection connection(address);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name);
    int owned = 0;
    if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    check(r, error, "NameHasOwner");
    sd_bus_error_free(&error);
    return owned != 0;
}

void addMethod(const std::string& address, const char* name, const char* in, const char* out,
               const std::string& code) {
    Connection connection(address);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(connection.get(), kPolkitName, kAuthorityPath, kMockInterface,
                               "AddMethod", &error, nullptr, "sssss", kAuthorityInterface, name, in,
                               out, code.c_str());
    check(r, error, "AddMethod");
    sd_bus_error_free(&error);
}

// One recorded call of the mock, as far as the tests look at it.
struct RecordedCall {
    std::string subjectKind;
    unsigned flags = 0;
};

std::vector<RecordedCall> checkAuthorizationCalls(const std::string& address) {
    Connection connection(address);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(connection.get(), kPolkitName, kAuthorityPath, kMockInterface,
                               "GetMethodCalls", &error, &reply, "s", "CheckAuthorization");
    check(r, error, "GetMethodCalls");
    sd_bus_error_free(&error);

    std::vector<RecordedCall> calls;
    auto fail = [&] {
        sd_bus_message_unref(reply);
        throw std::runtime_error("unreadable GetMethodCalls reply");
    };
    if (sd_bus_message_enter_container(reply, 'a', "(tav)") < 0) fail();
    while (sd_bus_message_enter_container(reply, 'r', "tav") > 0) {
        RecordedCall call;
        std::uint64_t timestamp = 0;
        if (sd_bus_message_read(reply, "t", &timestamp) < 0 ||
            sd_bus_message_enter_container(reply, 'a', "v") < 0) {
            fail();
        }
        for (int index = 0;; ++index) {
            char type = 0;
            const char* contents = nullptr;
            if (sd_bus_message_peek_type(reply, &type, &contents) <= 0) break;
            if (index == 0 && std::strcmp(contents, "(sa{sv})") == 0) {
                const char* kind = nullptr;
                if (sd_bus_message_enter_container(reply, 'v', contents) < 0 ||
                    sd_bus_message_enter_container(reply, 'r', "sa{sv}") < 0 ||
                    sd_bus_message_read(reply, "s", &kind) < 0 ||
                    sd_bus_message_skip(reply, "a{sv}") < 0 ||
                    sd_bus_message_exit_container(reply) < 0 ||
                    sd_bus_message_exit_container(reply) < 0) {
                    fail();
                }
                call.subjectKind = kind;
            } else if (index == 3 && std::strcmp(contents, "u") == 0) {
                std::uint32_t flags = 0;
                if (sd_bus_message_read(reply, "v", "u", &flags) < 0) fail();
                call.flags = flags;
            } else if (sd_bus_message_skip(reply, "v") < 0) {
                fail();
            }
        }
        if (sd_bus_message_exit_container(reply) < 0 || sd_bus_message_exit_container(reply) < 0) {
            fail();
        }
        calls.push_back(call);
    }
    sd_bus_message_unref(reply);
    return calls;
}

}  // namespace

PrivateSystemBus::PrivateSystemBus(unsigned maxConnectionsPerUser) {
    const std::string socketPath = directory_.path() + "/system_bus_socket";
    const std::string configPath = directory_.path() + "/system.conf";
    std::string config = privateBusConfig("system", socketPath);
    if (maxConnectionsPerUser > 0) {
        config.insert(config.rfind("</busconfig>"), "  <limit name=\"max_connections_per_user\">" +
                                                        std::to_string(maxConnectionsPerUser) +
                                                        "</limit>\n");
    }
    std::ofstream(configPath) << config;

    int addressPipe[2];
    if (pipe2(addressPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    daemon_ = spawn(
        {"/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + configPath},
        environmentWith("DBUS_SYSTEM_BUS_ADDRESS", ""), addressPipe[1],
        directory_.path() + "/dbus-daemon.log");
    close(addressPipe[1]);
    // The daemon prints its address once it listens.
    std::string line;
    char c = 0;
    while (read(addressPipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(addressPipe[0]);
    if (line.empty()) {
        stop(daemon_);
        throw std::runtime_error("dbus-daemon did not start");
    }
    address_ = line;
}

PrivateSystemBus::~PrivateSystemBus() {
    stop(polkit_);
    stop(daemon_);
}

void PrivateSystemBus::waitForPolkit(bool present) {
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (nameHasOwner(address_, kPolkitName) != present) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the polkit mock did not come up or go away in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PrivateSystemBus::startPolkit(bool registerUnlockAction) {
    stopPolkit();
    polkit_ = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "polkitd"},
                    environmentWith("DBUS_SYSTEM_BUS_ADDRESS", address_), -1,
                    directory_.path() + "/polkit-mock.log");
    waitForPolkit(true);
    if (registerUnlockAction) {
        addMethod(address_, "EnumerateActions", "s", "a(ssssssuuua{ss})",
                  "ret = [('org.example.other', '', '', '', '', '', 0, 0, 0, {}), "
                  "('com.quorvane.helper.unlock', 'Unlock Quorvane vault', "
                  "'Unlock Quorvane vault', 'Quorvane', '', '', 2, 2, 2, {})]");
    }
}

void PrivateSystemBus::startScriptedPolkit(const std::string& checkCode) {
    stopPolkit();
    polkit_ = spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", kPolkitName, kAuthorityPath,
                     kAuthorityInterface},
                    environmentWith("DBUS_SYSTEM_BUS_ADDRESS", address_), -1,
                    directory_.path() + "/polkit-mock.log");
    waitForPolkit(true);
    addMethod(address_, "EnumerateActions", "s", "a(ssssssuuua{ss})",
              "ret = [('com.quorvane.helper.unlock', '', '', '', '', '', 2, 2, 2, {})]");
    addMethod(address_, "CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", checkCode);
}

void PrivateSystemBus::stopPolkit() {
    if (polkit_ <= 0) return;
    stop(polkit_);
    waitForPolkit(false);
}

void PrivateSystemBus::setAllowed(bool allowed) {
    Connection connection(address_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = allowed ? sd_bus_call_method(connection.get(), kPolkitName, kAuthorityPath,
                                         kMockInterface, "SetAllowed", &error, nullptr, "as", 1,
                                         "com.quorvane.helper.unlock")
                    : sd_bus_call_method(connection.get(), kPolkitName, kAuthorityPath,
                                         kMockInterface, "SetAllowed", &error, nullptr, "as", 0);
    check(r, error, "SetAllowed");
    sd_bus_error_free(&error);
}

std::size_t PrivateSystemBus::checkCalls() { return checkAuthorizationCalls(address_).size(); }

std::size_t PrivateSystemBus::promptCalls() {
    std::size_t prompts = 0;
    for (const RecordedCall& call : checkAuthorizationCalls(address_)) prompts += call.flags & 1;
    return prompts;
}

void PrivateSystemBus::startRefusingPolkit() {
    startScriptedPolkit("ret = (False, not (args[3] & 1), {})");
}

unsigned PrivateSystemBus::lastCheckFlags() {
    auto calls = checkAuthorizationCalls(address_);
    if (calls.empty()) throw std::runtime_error("no CheckAuthorization call recorded");
    return calls.back().flags;
}

std::string PrivateSystemBus::lastCheckSubjectKind() {
    auto calls = checkAuthorizationCalls(address_);
    if (calls.empty()) throw std::runtime_error("no CheckAuthorization call recorded");
    return calls.back().subjectKind;
}

void PrivateSystemBus::clearCalls() {
    Connection connection(address_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(connection.get(), kPolkitName, kAuthorityPath, kMockInterface,
                               "ClearCalls", &error, nullptr, "");
    check(r, error, "ClearCalls");
    sd_bus_error_free(&error);
}

}  // namespace quorvane::testing
