#include "keyring/bus_deadline.h"

#include <cstring>

namespace quorvane::platform {
namespace {

constexpr unsigned kGraceMilliseconds = 1000;
// More than the few events an operation leaves behind, few enough to never hold the caller up.
constexpr int kDrainRounds = 100;
constexpr const char* kLockedError = "org.freedesktop.Secret.Error.IsLocked";

GSource* timer(const GlibLibrary& glib, GMainContext* context, guint milliseconds,
               GSourceFunc callback, gpointer data) {
    GSource* source = glib.g_timeout_source_new(milliseconds);
    glib.g_source_set_callback(source, callback, data, nullptr);
    glib.g_source_attach(source, context);
    return source;
}

}  // namespace

BusDeadline::BusDeadline(const GlibLibrary& glib, GMainContext* context,
                         std::chrono::milliseconds bound)
    : glib_(glib), context_(context), bound_(bound), cancellable_(glib.g_cancellable_new()) {
    glib_.g_main_context_push_thread_default(context_);
    auto milliseconds = static_cast<guint>(bound.count());
    deadline_ = timer(glib_, context_, milliseconds, &BusDeadline::onDeadline, this);
    giveUp_ =
        timer(glib_, context_, milliseconds + kGraceMilliseconds, &BusDeadline::onGiveUp, this);
}

BusDeadline::~BusDeadline() {
    for (GSource* source : {deadline_, giveUp_}) {
        glib_.g_source_destroy(source);
        glib_.g_source_unref(source);
    }
    // Releasing a D-Bus proxy leaves work on the context it was made on (GIO frees its signal
    // subscriptions there); nothing else runs this context until the next operation, which in
    // --serve may never come, so that work is done now.
    for (int round = 0; round < kDrainRounds && glib_.g_main_context_iteration(context_, FALSE);
         ++round) {
    }
    glib_.g_main_context_pop_thread_default(context_);
    glib_.g_object_unref(cancellable_);
}

void BusDeadline::onReady(GObject*, GAsyncResult* result, gpointer data) {
    // Parenthesised: GLib defines g_object_ref as a function-like macro.
    static_cast<Pending*>(data)->result =
        static_cast<GAsyncResult*>((glibLibrary()->g_object_ref)(result));
}

gboolean BusDeadline::onDeadline(gpointer data) {
    auto* self = static_cast<BusDeadline*>(data);
    self->glib_.g_cancellable_cancel(self->cancellable_);
    return G_SOURCE_REMOVE;
}

gboolean BusDeadline::onGiveUp(gpointer data) {
    static_cast<BusDeadline*>(data)->givenUp_ = true;
    return G_SOURCE_REMOVE;
}

GAsyncResult* BusDeadline::finish(Pending* pending) {
    while (pending->result == nullptr && !givenUp_) {
        glib_.g_main_context_iteration(context_, TRUE);
    }
    GAsyncResult* result = pending->result;
    // An abandoned call keeps its cell: its callback may still run in a later iteration of this
    // context, and must find memory it may write.
    if (result != nullptr) delete pending;
    return result;
}

std::string BusDeadline::timeoutText() const {
    auto milliseconds = bound_.count();
    std::string amount = milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " seconds"
                                                  : std::to_string(milliseconds) + " ms";
    return "the Secret Service did not answer within " + amount;
}

std::string BusDeadline::describe(GError* error) const {
    if (error == nullptr) return "unknown";
    std::string text;
    if (glib_.g_error_matches(error, glib_.g_io_error_quark(), G_IO_ERROR_CANCELLED)) {
        text = timeoutText();
    } else {
        gchar* remote = glib_.g_dbus_error_get_remote_error(error);
        bool locked = remote != nullptr && std::strcmp(remote, kLockedError) == 0;
        glib_.g_free(remote);
        if (locked) {
            text = "the keyring is locked";
        } else {
            glib_.g_dbus_error_strip_remote_error(error);
            text =
                error->message != nullptr && error->message[0] != '\0' ? error->message : "unknown";
        }
    }
    glib_.g_error_free(error);
    return text;
}

}  // namespace quorvane::platform
