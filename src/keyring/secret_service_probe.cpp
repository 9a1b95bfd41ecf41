#include "keyring/secret_service_probe.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "keyring/bus_deadline.h"

namespace quorvane::platform {
namespace {

// The answer to ReadAlias when the alias names no collection.
constexpr const char* kNoObject = "/";

// Remote errors that say nobody owns the name and nobody can be started for it.
constexpr const char* kNobodyThere[] = {
    "org.freedesktop.DBus.Error.ServiceUnknown",
    "org.freedesktop.DBus.Error.NameHasNoOwner",
};

using Answer = SecretServiceProbe::Answer;

// judgeFailure tells an absent Secret Service from one that is there but failed, for the error of
// a failed call (which it frees). A cancelled call is one the deadline ended: nothing answered.
SecretServiceProbe judgeFailure(const GlibLibrary& glib, const BusDeadline& deadline,
                                GError* error) {
    if (error == nullptr) return {Answer::unusable, deadline.timeoutText()};
    gchar* remote = glib.g_dbus_error_get_remote_error(error);
    bool nobody = false;
    for (const char* name : kNobodyThere) {
        if (remote != nullptr && std::strcmp(remote, name) == 0) nobody = true;
    }
    glib.g_free(remote);
    if (nobody) {
        glib.g_error_free(error);
        return {Answer::absent, {}};
    }
    return {Answer::unusable, deadline.describe(error)};
}

// askForDefaultCollection connects to the session bus and asks the Secret Service for its default
// collection; the call also makes the bus start the service when it is not running yet.
SecretServiceProbe askForDefaultCollection(const GlibLibrary& glib,
                                           std::chrono::milliseconds bound) {
    GMainContext* context = glib.g_main_context_new();
    SecretServiceProbe found;
    {
        BusDeadline deadline(glib, context, bound);
        // GLib's shared connection: it finds the bus as sessionBusAddress does (the variable,
        // then the runtime directory's socket), and the item store's libsecret reuses it.
        GAsyncResult* connected = deadline.wait([&](GCancellable* c, auto callback, auto data) {
            glib.g_bus_get(G_BUS_TYPE_SESSION, c, callback, data);
        });
        GDBusConnection* connection = nullptr;
        if (connected == nullptr) {
            // The bus itself did not answer in time: a session bus is there, so this is not the
            // absence of a keyring.
            found = {Answer::unusable, deadline.timeoutText()};
        } else {
            GError* error = nullptr;
            connection = glib.g_bus_get_finish(connected, &error);
            glib.g_object_unref(connected);
            if (connection != nullptr) {
                // A lost bus is an error to report, not a reason for GLib to end the process.
                glib.g_dbus_connection_set_exit_on_close(connection, FALSE);
            } else {
                bool cancelled =
                    error != nullptr &&
                    glib.g_error_matches(error, glib.g_io_error_quark(), G_IO_ERROR_CANCELLED);
                // A bus address that leads nowhere is a session without a bus.
                found = cancelled ? SecretServiceProbe{Answer::unusable, deadline.timeoutText()}
                                  : SecretServiceProbe{Answer::absent, {}};
                if (error != nullptr) glib.g_error_free(error);
            }
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
            if (answered == nullptr) {
                found = {Answer::unusable, deadline.timeoutText()};
            } else {
                GError* error = nullptr;
                GVariant* reply = glib.g_dbus_connection_call_finish(connection, answered, &error);
                glib.g_object_unref(answered);
                if (reply == nullptr) {
                    found = judgeFailure(glib, deadline, error);
                } else {
                    const gchar* path = nullptr;
                    glib.g_variant_get(reply, "(&o)", &path);
                    bool named = path != nullptr && std::strcmp(path, kNoObject) != 0;
                    found = {named ? Answer::answers : Answer::absent, {}};
                    glib.g_variant_unref(reply);
                }
            }
            if (found.answer == Answer::answers) {
                const GlibLibrary* library = &glib;
                found.session.reset(connection,
                                    [library](void* shared) { library->g_object_unref(shared); });
            } else {
                // Shared, so never closed here: the socket goes with its last reference.
                glib.g_object_unref(connection);
            }
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

SecretServiceProbe probeSecretService(std::chrono::milliseconds bound) {
    if (!sessionBusAddress()) return {};
    const GlibLibrary* glib = glibLibrary();
    if (glib == nullptr) return {};
    return askForDefaultCollection(*glib, bound);
}

}  // namespace quorvane::platform
