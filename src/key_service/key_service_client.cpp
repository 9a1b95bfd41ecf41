#include "key_service/key_service_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "key_service/key_service_interface.h"
#include "system_bus/bus_reply_wait.h"
#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::key_service {
namespace {

using sd_bus_objects::Bus;
using sd_bus_objects::BusError;
using sd_bus_objects::Message;
using sd_bus_objects::openBus;
using sd_bus_objects::sd;

[[noreturn]] void unreachable(int result) {
    // Only a socket that is not there, or that nobody listens on, means there is no bus. The
    // system bus's socket lies in a directory only root can write, so a user cannot fake that;
    // a full backlog (EAGAIN), a reset or a refused authentication can be caused by anyone.
    const bool noBus = result == -ENOENT || result == -ECONNREFUSED;
    throw CallFailed(
        "", std::string("the system bus cannot be reached (") + std::strerror(-result) + ")",
        noBus);
}

void connect(Bus& bus, const std::string& address) {
    if (sdBusLibrary() == nullptr) {
        throw CallFailed("", "the D-Bus client library (libsystemd) cannot be loaded", true);
    }
    const int result = openBus(bus, address);
    if (result < 0) unreachable(result);
}

// call makes a method call and returns its reply; raises CallFailed.
void call(const Bus& bus, const char* method, Message& reply) {
    BusError error;
    const int result = sd().sd_bus_call_method(bus.get(), kBusName, kObjectPath, kInterface, method,
                                               error.get(), reply.out(), "");
    if (result < 0) throw CallFailed(std::string(error.name()), error.text(result));
}

[[noreturn]] void unreadable() {
    throw CallFailed("", "the key service gave an unreadable answer");
}

ServicePublicKey readPublicKey(sd_bus_message* reply) {
    const void* point = nullptr;
    std::size_t size = 0;
    const char* kind = nullptr;
    if (sd().sd_bus_message_read_array(reply, 'y', &point, &size) < 0 ||
        sd().sd_bus_message_read(reply, "s", &kind) < 0) {
        unreadable();
    }
    const auto* bytes = static_cast<const std::uint8_t*>(point);
    return ServicePublicKey{Bytes(bytes, bytes + size), kind};
}

// A Decrypt call in flight, filled in by its reply handler.
struct PendingDecrypt {
    bool answered = false;
    std::optional<CallFailed> failure;
    SecretBytes secrets;
};

int onDecryptReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingDecrypt*>(userdata);
    pending->answered = true;
    if (const sd_bus_error* error = sd().sd_bus_message_get_error(reply)) {
        std::string text = error->message != nullptr && *error->message != '\0'
                               ? error->message
                               : (error->name != nullptr ? error->name : "unknown");
        if (sd().sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY)) {
            text = "the presence prompt timed out";
        }
        pending->failure = CallFailed(error->name != nullptr ? error->name : "", std::move(text));
        return 0;
    }
    const void* data = nullptr;
    std::size_t size = 0;
    if (sd().sd_bus_message_read_array(reply, 'y', &data, &size) < 0) {
        pending->failure = CallFailed("", "the key service gave an unreadable answer");
        return 0;
    }
    pending->secrets = SecretBytes::copyOf({static_cast<const std::uint8_t*>(data), size});
    // The message body is this process's only other copy; it goes before the message does.
    wipeMemory(const_cast<void*>(data), size);
    return 0;
}

}  // namespace

ServiceStatus Client::status() const {
    Bus bus;
    connect(bus, busAddress_);
    Message reply;
    call(bus, "Status", reply);
    const char* kind = nullptr;
    const char* problem = nullptr;
    int exists = 0;
    int usable = 0;
    std::uint32_t keys = 0;
    if (sd().sd_bus_message_read(reply.get(), "sbbsu", &kind, &exists, &usable, &problem, &keys) <
        0) {
        unreadable();
    }
    return ServiceStatus{kind, exists != 0, usable != 0, problem, keys};
}

ServicePublicKey Client::createKey() const {
    Bus bus;
    connect(bus, busAddress_);
    Message reply;
    call(bus, "CreateKey", reply);
    return readPublicKey(reply.get());
}

std::optional<ServicePublicKey> Client::publicKey() const {
    Bus bus;
    connect(bus, busAddress_);
    Message reply;
    try {
        call(bus, "GetPublicKey", reply);
    } catch (const CallFailed& failure) {
        if (failure.name() == errors::kNoKey) return std::nullopt;
        throw;
    }
    return readPublicKey(reply.get());
}

void Client::deleteKey() const {
    Bus bus;
    connect(bus, busAddress_);
    Message reply;
    call(bus, "DeleteKey", reply);
}

SecretBytes Client::decrypt(std::span<const std::uint8_t> point, int cancelOnHangUp) const {
    Bus bus;
    connect(bus, busAddress_);
    Message request;
    int result = sd().sd_bus_message_new_method_call(bus.get(), request.out(), kBusName,
                                                     kObjectPath, kInterface, "Decrypt");
    if (result >= 0) {
        result = sd().sd_bus_message_append_array(request.get(), 'y', point.data(), point.size());
    }
    if (result < 0) unreachable(result);

    // Sent asynchronously so that, while the person is being asked, the application's end of
    // standard input is watched too.
    PendingDecrypt pending;
    sd_bus_slot* slot = nullptr;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(kDecryptCallTimeout);
    result = sd().sd_bus_call_async(bus.get(), &slot, request.get(), onDecryptReply, &pending,
                                    static_cast<std::uint64_t>(usec.count()));
    if (result < 0) unreachable(result);
    struct SlotRelease {
        sd_bus_slot* slot;
        ~SlotRelease() { sd().sd_bus_slot_unref(slot); }
    } release{slot};

    const sd_bus_objects::ReplyWait wait =
        sd_bus_objects::awaitReply(bus.get(), pending.answered, cancelOnHangUp);
    switch (wait.end) {
        case sd_bus_objects::ReplyWait::End::answered:
            break;
        case sd_bus_objects::ReplyWait::End::busFailed:
            unreachable(wait.error);
        case sd_bus_objects::ReplyWait::End::pollFailed:
            throw CallFailed("", "the key service cannot be waited for (" +
                                     std::string(std::strerror(wait.error)) + ")");
        case sd_bus_objects::ReplyWait::End::hungUp:
            // Leaving the bus is the service's sign to withdraw the prompt.
            sd().sd_bus_slot_unref(release.slot);
            release.slot = nullptr;
            bus.close();
            throw CallFailed("", "the application went away; the presence prompt was withdrawn");
    }
    if (pending.failure) throw *pending.failure;
    return std::move(pending.secrets);
}

bool serviceAbsent(const CallFailed& failure) {
    return failure.noBus() || failure.name() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           failure.name() == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

std::string describe(const CallFailed& failure) {
    const std::string& name = failure.name();
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        return "the key service (" + std::string(kBusName) + ") is not installed";
    }
    if (name == "org.freedesktop.DBus.Error.Spawn.ChildExited" ||
        name == "org.freedesktop.DBus.Error.Spawn.Failed" ||
        name == "org.freedesktop.DBus.Error.Spawn.ServiceNotFound" ||
        name == "org.freedesktop.DBus.Error.Spawn.PermissionsInvalid" ||
        name == "org.freedesktop.DBus.Error.Spawn.ChildSignaled") {
        return "the key service cannot be started (" + failure.text() + ")";
    }
    // sd-bus keeps the name of this error but puts its errno text (ENOBUFS) in its message.
    if (name == "org.freedesktop.DBus.Error.LimitsExceeded") {
        return "the system bus refused the call: a limit of the bus was reached (too many "
               "connections or calls of this user)";
    }
    if (name == "org.freedesktop.DBus.Error.AccessDenied") {
        return "the key service refuses this user (" + failure.text() + ")";
    }
    return failure.text();
}

}  // namespace quorvane::platform::key_service
