#include "support/session_keyring.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
        int r = sd_bus_call_method(bus_, kSecretsName, kSecretsPath, kServiceInterface,
                                   "SearchItems", &error, &reply, "a{ss}", 0);
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

}  // namespace

SessionKeyring::SessionKeyring(Provider provider, const std::string& password) {
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
    waitUntil([&] { return access(socketPath.c_str(), F_OK) == 0; }, "the session bus");
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
    if (silentOwner_ != nullptr) sd_bus_flush_close_unref(silentOwner_);
    stopKeyring();
    stopProgram(bus_);
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
    return runProgram("/usr/bin/secret-tool", arguments, input, environment());
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
