#include "support/session_keyring.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/test_bus.h"

namespace quorvane::testing {
namespace {

constexpr const char* kSecretsName = "org.freedesktop.secrets";
constexpr const char* kSecretsPath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kLoginCollection = "/org/freedesktop/secrets/collection/login";
constexpr auto kStartLimit = std::chrono::seconds(30);

class Bus {
  public:
    explicit Bus(const std::string& address) : connection_(address), bus_(connection_.get()) {}

    bool hasOwner(const char* name) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int owned = 0;
        int r =
            sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", name);
        if (r >= 0) r = sd_bus_message_read(reply, "b", &owned);
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        if (r < 0) throw std::runtime_error("NameHasOwner failed");
        return owned != 0;
    }

    // readAlias returns the collection the alias names, "/" for none, or "" on an error.
    std::string readAlias(const char* alias) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        int r = sd_bus_call_method(bus_, kSecretsName, kSecretsPath, kServiceInterface, "ReadAlias",
                                   &error, &reply, "s", alias);
        if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
        std::string result = r >= 0 && path != nullptr ? path : "";
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return result;
    }

    void lock(const char* collection) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(bus_, kSecretsName, kSecretsPath, kServiceInterface, "Lock",
                                   &error, nullptr, "ao", 1, collection);
        std::string message = error.message != nullptr ? error.message : "";
        sd_bus_error_free(&error);
        if (r < 0) throw std::runtime_error("Lock failed: " + message);
    }

    void unlock(const char* collection, const std::string& password) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        const char* session = nullptr;
        // A "plain" transfer session: the password crosses a private test bus only.
        int r = sd_bus_call_method(bus_, kSecretsName, kSecretsPath, kServiceInterface,
                                   "OpenSession", &error, &reply, "sv", "plain", "s", "");
        if (r >= 0) r = sd_bus_message_skip(reply, "v");
        if (r >= 0) r = sd_bus_message_read(reply, "o", &session);
        std::string sessionPath = r >= 0 ? session : "";
        sd_bus_message_unref(reply);
        check(r, error, "OpenSession");
        sd_bus_message* call = nullptr;
        r = sd_bus_message_new_method_call(
            bus_, &call, kSecretsName, kSecretsPath,
            "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
            "UnlockWithMasterPassword");
        if (r >= 0) r = sd_bus_message_append(call, "o", collection);
        if (r >= 0) r = sd_bus_message_open_container(call, 'r', "oayays");
        if (r >= 0) r = sd_bus_message_append(call, "o", sessionPath.c_str());
        if (r >= 0) r = sd_bus_message_append_array(call, 'y', "", 0);
        if (r >= 0) r = sd_bus_message_append_array(call, 'y', password.data(), password.size());
        if (r >= 0) r = sd_bus_message_append(call, "s", "text/plain");
        if (r >= 0) r = sd_bus_message_close_container(call);
        if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, nullptr);
        sd_bus_message_unref(call);
        check(r, error, "UnlockWithMasterPassword");
    }

    // clear deletes every unlocked item.
    void clear() {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = 0;
        // A daemon that has just started answers ReadAlias a moment before it serves the rest
        // of its interface ("SearchItems is not implemented"); that moment is waited out.
        for (int tries = 0;; ++tries) {
            r = sd_bus_call_method(bus_, kSecretsName, kSecretsPath, kServiceInterface,
                                   "SearchItems", &error, &reply, "a{ss}", 0);
            if (r >= 0 || tries == 100 ||
                !sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD)) {
                break;
            }
            sd_bus_error_free(&error);
            usleep(20000);
        }
        std::vector<std::string> items;
        if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "o");
        const char* path = nullptr;
        while (r >= 0 && (r = sd_bus_message_read(reply, "o", &path)) > 0) items.emplace_back(path);
        sd_bus_message_unref(reply);
        check(r, error, "SearchItems");
        for (const std::string& item : items) {
            r = sd_bus_call_method(bus_, kSecretsName, item.c_str(), "org.freedesktop.Secret.Item",
                                   "Delete", &error, nullptr, "");
            check(r, error, "Delete");
        }
    }

  private:
    static void check(int result, sd_bus_error& error, const char* what) {
        std::string message = error.message != nullptr ? error.message : std::strerror(-result);
        sd_bus_error_free(&error);
        if (result < 0) throw std::runtime_error(std::string(what) + " failed: " + message);
    }
    BusConnection connection_;
    sd_bus* bus_;
};

template <class Ready>
void waitUntil(Ready ready, const char* what) {
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(std::string("timed out waiting for ") + what);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// accepts says whether the bus at `address` takes a client now. Its socket file appears when the
// daemon binds it, before it listens: connecting then is refused.
bool accepts(const std::string& address) {
    try {
        BusConnection connection(address);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// running says whether the started program `pid` has not ended (and reaps it if it has).
bool running(pid_t pid) {
    int raw = 0;
    return waitpid(pid, &raw, WNOHANG) == 0;
}

}  // namespace

SessionKeyring::SessionKeyring(Provider provider, const std::string& password) {
    try {
        start(provider, password);
    } catch (...) {
        // No destructor runs for an object whose constructor failed: what was started is stopped
        // here (the directory goes with its member).
        stop();
        throw;
    }
}

void SessionKeyring::start(Provider provider, const std::string& password) {
    home_ = directory_.path() + "/home";
    runtime_ = directory_.path() + "/runtime";
    std::filesystem::create_directories(home_ + "/.local/share");
    mkdir(runtime_.c_str(), 0700);
    const std::string socketPath = directory_.path() + "/bus";
    const std::string configPath = directory_.path() + "/session.conf";
    std::ofstream(configPath) << privateBusConfig("session", socketPath);
    address_ = "unix:path=" + socketPath;
    bus_ = startProgram("/usr/bin/dbus-daemon", {"--nofork", "--config-file=" + configPath},
                        environment(), "", directory_.path() + "/dbus-daemon.log");
    waitUntil(
        [&] {
            if (!running(bus_)) {
                bus_ = -1;
                std::ifstream log(directory_.path() + "/dbus-daemon.log");
                throw std::runtime_error("dbus-daemon ended: " +
                                         std::string(std::istreambuf_iterator<char>(log), {}));
            }
            return accepts(address_);
        },
        "the session bus to accept connections");
    if (provider == Provider::gnomeKeyring) startKeyring(password);
    if (provider == Provider::silent) {
        // Owns the name, then never reads: calls to it wait until their sender gives up.
        int r = sd_bus_new(&silentOwner_);
        if (r >= 0) r = sd_bus_set_address(silentOwner_, address_.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(silentOwner_, 1);
        if (r >= 0) r = sd_bus_start(silentOwner_);
        if (r >= 0) r = sd_bus_request_name(silentOwner_, kSecretsName, 0);
        if (r < 0) throw std::runtime_error("cannot own the Secret Service name");
    }
}

SessionKeyring::~SessionKeyring() {
    try {
        stopKeyring();
    } catch (const std::runtime_error&) {
        // The bus could not tell whether the daemon left; it was ended all the same.
    }
    stop();
}

void SessionKeyring::stop() {
    if (silentOwner_ != nullptr) sd_bus_flush_close_unref(silentOwner_);
    silentOwner_ = nullptr;
    stopProgram(keyring_);
    keyring_ = -1;
    stopProgram(bus_);
    bus_ = -1;
}

EnvironmentOverrides SessionKeyring::environment() const {
    EnvironmentOverrides environment{{"DBUS_SESSION_BUS_ADDRESS", address_},
                                     {"HOME", home_},
                                     {"XDG_DATA_HOME", home_ + "/.local/share"},
                                     {"XDG_RUNTIME_DIR", runtime_}};
    // Under the sanitizers, full stacks for leaks: GLib has no frame pointers, and the leak
    // suppression for GIO's own (scripts/lsan-suppressions.txt) can only match a full stack.
    if (const char* asan = std::getenv("ASAN_OPTIONS")) {
        environment["ASAN_OPTIONS"] = std::string(asan) + ":fast_unwind_on_malloc=0";
    }
    return environment;
}

RunResult SessionKeyring::secretTool(const std::vector<std::string>& arguments,
                                     const std::string& input) const {
    EnvironmentOverrides environment = this->environment();
    // secret-tool converts text between UTF-8 and the locale's character set, and fails on a
    // name or value outside it: `su -` or a bare container leaves the C locale. The helper
    // itself needs no locale.
    environment["LC_ALL"] = "C.UTF-8";
    return runProgram("/usr/bin/secret-tool", arguments, input, environment);
}

void SessionKeyring::startKeyring(const std::string& password) {
    password_ = password;
    keyring_ = startProgram("/usr/bin/gnome-keyring-daemon",
                            {"--foreground", "--unlock", "--components=secrets"}, environment(),
                            password, directory_.path() + "/gnome-keyring.log");
    Bus bus(address_);
    waitUntil([&] { return bus.hasOwner(kSecretsName); }, "gnome-keyring-daemon on the bus");
    waitUntil([&] { return bus.readAlias("default") == kLoginCollection; }, "the login keyring");
}

void SessionKeyring::lock() { Bus(address_).lock(kLoginCollection); }

void SessionKeyring::unlock() { Bus(address_).unlock(kLoginCollection, password_); }

void SessionKeyring::clear() { Bus(address_).clear(); }

void SessionKeyring::restartKeyring(const std::string& password) {
    stopKeyring();
    startKeyring(password);
}

void SessionKeyring::stopKeyring() {
    if (keyring_ <= 0) return;
    stopProgram(keyring_);
    keyring_ = -1;
    Bus bus(address_);
    waitUntil([&] { return !bus.hasOwner(kSecretsName); }, "gnome-keyring-daemon to leave");
}

}  // namespace quorvane::testing
