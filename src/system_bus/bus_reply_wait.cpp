#include "system_bus/bus_reply_wait.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::sd_bus_objects {
namespace {

// millisecondsUntil: how long poll may wait for sd-bus's next deadline; -1 for none.
int millisecondsUntil(sd_bus* bus) {
    std::uint64_t until = 0;
    if (sd().sd_bus_get_timeout(bus, &until) <= 0 || until == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    return until <= nowUsec ? 0 : static_cast<int>((until - nowUsec + 999) / 1000);
}

}  // namespace

ReplyWait awaitReply(sd_bus* bus, const bool& answered, int cancelOnHangUp) {
    pollfd watched[2] = {{-1, 0, 0}, {cancelOnHangUp, POLLRDHUP, 0}};
    if (watched[1].fd >= 0 && (poll(&watched[1], 1, 0) < 0 || watched[1].revents != 0)) {
        watched[1].fd = -1;
    }
    while (!answered) {
        int result = sd().sd_bus_process(bus, nullptr);
        if (result < 0) return {ReplyWait::End::busFailed, result};
        // A reply, or sd-bus's own timeout, may have been handled even when 0 came back.
        if (answered) break;
        if (result > 0) continue;  // more may be queued: process before waiting
        watched[0].fd = sd().sd_bus_get_fd(bus);
        watched[0].events = static_cast<short>(sd().sd_bus_get_events(bus));
        if (watched[0].fd < 0) return {ReplyWait::End::busFailed, watched[0].fd};
        const nfds_t count = watched[1].fd >= 0 ? 2 : 1;
        if (poll(watched, count, millisecondsUntil(bus)) < 0 && errno != EINTR) {
            return {ReplyWait::End::pollFailed, errno};
        }
        if (count < 2) continue;
        if (watched[1].revents & POLLNVAL) {
            watched[1].fd = -1;  // closed under us: nothing to watch any more
        } else if (watched[1].revents & (POLLHUP | POLLRDHUP | POLLERR)) {
            return {ReplyWait::End::hungUp, 0};
        }
    }
    return {ReplyWait::End::answered, 0};
}

}  // namespace quorvane::platform::sd_bus_objects
