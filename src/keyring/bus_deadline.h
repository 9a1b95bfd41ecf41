#pragma once

#include <chrono>
#include <string>

#include "keyring/glib_library.h"

namespace quorvane::platform {

// BusDeadline bounds one operation on the session bus (any number of calls one after another)
// by one deadline. The calls run on `context`, a main context of the caller's own made the
// thread's default for the life of this object, so nothing else's callbacks run meanwhile.
//
// At the deadline the operation's cancellable is cancelled: GDBus and libsecret then end the
// pending call at once with G_IO_ERROR_CANCELLED (libsecret dismisses any prompt it opened). A
// call that still has not ended a grace second later is abandoned: wait() gives up on it, and its
// late completion, if it ever comes, only drops a reference. So no wait lasts longer than the
// bound plus one second, whatever the other end does.
//
// Not thread-safe: one thread, one operation at a time per context.
class BusDeadline {
  public:
    BusDeadline(const GlibLibrary& glib, GMainContext* context, std::chrono::milliseconds bound);
    ~BusDeadline();
    BusDeadline(const BusDeadline&) = delete;
    BusDeadline& operator=(const BusDeadline&) = delete;

    GCancellable* cancellable() const { return cancellable_; }

    // wait starts one call with `start(cancellable, callback, data)` (the usual trailing
    // arguments of a GLib asynchronous function) and runs the context until the call completes.
    // Returns the call's result, which the caller passes to the call's _finish function and then
    // releases with g_object_unref, or nullptr when the call was abandoned.
    template <class Start>
    GAsyncResult* wait(Start&& start) {
        Pending* pending = new Pending;
        start(cancellable_, &BusDeadline::onReady, pending);
        return finish(pending);
    }

    // describe turns a failed call's error (which it frees) into the detail of an error message:
    // "the keyring is locked", the timeout text, or the error's own words ("unknown" for none).
    std::string describe(GError* error) const;
    // timeoutText says that nothing answered within the bound.
    std::string timeoutText() const;

  private:
    struct Pending {
        GAsyncResult* result = nullptr;
    };
    static void onReady(GObject* source, GAsyncResult* result, gpointer data);
    static gboolean onDeadline(gpointer data);
    static gboolean onGiveUp(gpointer data);
    GAsyncResult* finish(Pending* pending);

    const GlibLibrary& glib_;
    GMainContext* context_;
    std::chrono::milliseconds bound_;
    GCancellable* cancellable_;
    GSource* deadline_;
    GSource* giveUp_;
    bool givenUp_ = false;
};

}  // namespace quorvane::platform
