#pragma once

#include <systemd/sd-bus.h>

namespace quorvane::platform::sd_bus_objects {

// How waiting for an asynchronous call's reply ended.
struct ReplyWait {
    enum class End {
        answered,   // the reply's callback ran (sd-bus also runs it, with an error, on its timeout)
        hungUp,     // the watched descriptor's writer went away first
        busFailed,  // the connection failed: `error` is sd-bus's negative errno
        pollFailed  // waiting failed: `error` is poll's errno
    };
    End end = End::answered;
    int error = 0;
};

// awaitReply processes `bus` until `answered` (set by the callback of the call sent with
// sd_bus_call_async) is true, and meanwhile watches `cancelOnHangUp` for its writer going away:
// a person should not be left with a password dialog for a caller that is gone. Only a hang-up
// during the wait counts: a descriptor already hung up, closed or -1 when the wait starts is not
// watched (a request piped in whole). The caller withdraws the call on `hungUp`.
ReplyWait awaitReply(sd_bus* bus, const bool& answered, int cancelOnHangUp);

}  // namespace quorvane::platform::sd_bus_objects
