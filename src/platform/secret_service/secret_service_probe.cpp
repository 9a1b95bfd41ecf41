#include "platform/secret_service/secret_service_probe.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/secret_service/bus_deadline.h"

namespace quorvane::platform {
namespace {

// The answer to ReadAlias when the alias names no collection.
constexpr const char* kNoObject = "/";

// askForDefaultCollection connects to `address` and asks the Secret Service for its default
// collection; the call also makes the bus start the service when it is not running yet.
bool askForDefaultCollection(const GlibLibrary& glib, const std::string& address,
                             std::chrono::milliseconds bound) {
    GMainContext* context = glib.g_main_context_new();
    bool found = false;
    {
        BusDeadline deadline(glib, context, bound);
        auto flags =
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        GAsyncResult* connected = deadline.wait([&](GCancellable* c, auto callback, auto data) {
            glib.g_dbus_connection_new_for_address(address.c_str(), flags, nullptr, c, callback,
                                                   data);
        });
        GDBusConnection* connection = nullptr;
        if (connected != nullptr) {
            connection = glib.g_dbus_connection_new_for_address_finish(connected, nullptr);
            glib.g_object_unref(connected);
        }
        if (connection != nullptr) {
            GAsyncResult* answered = deadline.wait([&](GCancellable* c, auto callback, auto data) {
                glib.g_dbus_connection_call(
                    connection, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                    "org.freedesktop.Secret.Service", "ReadAlias",
                    glib.g_variant_new("(s)", "default"),
                    reinterpret_cast<const GVariantType*>("(o)"), G_DBUS_CALL_FLAGS_NONE,
                    static_cast<gint>(bound.count()), c, callback, data);
            });
            GVariant* reply = nullptr;
            if (answered != nullptr) {
                reply = glib.g_dbus_connection_call_finish(connection, answered, nullptr);
                glib.g_object_unref(answered);
            }
            if (reply != nullptr) {
                const gchar* path = nullptr;
                glib.g_variant_get(reply, "(&o)", &path);
                found = path != nullptr && std::strcmp(path, kNoObject) != 0;
                glib.g_variant_unref(reply);
            }
            // Closing is not waited for: the socket goes with the connection's last reference.
            glib.g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
            glib.g_object_unref(connection);
        }
    }
    glib.g_main_context_unref(context);
    return found;
}

}  // namespace

std::optional<std::string> sessionBusAddress() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') return std::string(address);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/') return std::nullopt;
    std::string socket = std::string(runtime) + "/bus";
    struct stat status {};
    if (stat(socket.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return std::nullopt;
    // The path goes into an address, where a few characters must be escaped; GLib knows which,
    // but the probe should not load GLib merely to learn that there is no bus.
    std::string escaped;
    constexpr const char* kHex = "0123456789abcdef";
    for (unsigned char c : socket) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     std::strchr("-_/.\\*", c) != nullptr;
        if (plain) {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            escaped += kHex[c >> 4];
            escaped += kHex[c & 0xf];
        }
    }
    return "unix:path=" + escaped;
}

bool secretServiceAnswers(std::chrono::milliseconds bound) {
    std::optional<std::string> address = sessionBusAddress();
    if (!address) return false;
    const GlibLibrary* glib = glibLibrary();
    if (glib == nullptr) return false;
    return askForDefaultCollection(*glib, *address, bound);
}

}  // namespace quorvane::platform
