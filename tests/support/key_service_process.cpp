#include "support/key_service_process.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/test_bus.h"

namespace quorvane::testing {
namespace {

constexpr const char* kName = "com.quorvane.KeyService1";

bool owned(const std::string& address) {
    BusConnection connection(address);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int hasOwner = 0;
    int r = sd_bus_call_method(connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", kName);
    if (r >= 0) r = sd_bus_message_read(reply, "b", &hasOwner);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && hasOwner != 0;
}

}  // namespace

KeyServiceProcess::KeyServiceProcess(const std::string& busAddress, const std::string& tpm)
    : busAddress_(busAddress), state_(directory_.path() + "/state") {
    if (mkdir(state_.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + state_);
    pid_ = startProgram(
        QUORVANE_KEYD_PATH, {"--state-directory", state_, "--tpm", tpm, "--idle-exit", "3600"},
        {{"DBUS_SYSTEM_BUS_ADDRESS", busAddress}}, "", directory_.path() + "/keyd.log");
    try {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!owned(busAddress)) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("the key service did not take its name: " + log());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } catch (...) {
        // A constructor that fails runs no destructor.
        stopProgram(pid_);
        throw;
    }
}

KeyServiceProcess::~KeyServiceProcess() { stopProgram(pid_); }

std::string KeyServiceProcess::log() const {
    std::ifstream file(directory_.path() + "/keyd.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<Bytes> KeyServiceProcess::publicKey() const {
    BusConnection connection(busAddress_);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const void* point = nullptr;
    std::size_t size = 0;
    int r = sd_bus_call_method(connection.get(), kName, "/com/quorvane/KeyService1", kName,
                               "GetPublicKey", &error, &reply, "");
    if (r >= 0) r = sd_bus_message_read_array(reply, 'y', &point, &size);
    std::optional<Bytes> key;
    if (r >= 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(point);
        key = Bytes(bytes, bytes + size);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return key;
}

}  // namespace quorvane::testing
