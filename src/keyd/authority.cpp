#include "keyd/authority.h"

#include <unistd.h>

#include <cstring>

#include "polkit/authority_check.h"
#include "system_bus/sd_bus_library.h"

namespace quorvane::keyd {
namespace {

namespace polkit = platform::polkit;

Authority::Answer failed(std::string why) { return Authority::Answer{false, std::move(why)}; }

}  // namespace

Authority::~Authority() {
    for (auto& [number, check] : checks_) {
        withdraw(check.cancellationId);
        sd_bus_slot_unref(check.slot);
    }
}

std::optional<std::string> Authority::unavailableReason(const std::string& subject) {
    return platform::polkit::unavailableReasonFor(bus_, subject);
}

std::uint64_t Authority::ask(const std::string& subject, Done done) {
    const std::uint64_t number = ++next_;
    Check& check = checks_[number];
    check.owner = this;
    check.number = number;
    check.cancellationId = "quorvane-keyd-" + std::to_string(getpid()) + "-" + std::to_string(number);
    check.done = std::move(done);

    if (platform::sdBusLibrary() == nullptr) {
        finish(number, failed("polkit check failed (libsystemd cannot be loaded)"));
        return number;
    }
    sd_bus_message* call = nullptr;
    int result = polkit::newUnlockCheck(bus_, subject, true, check.cancellationId, &call);
    if (result >= 0) {
        const auto timeout =
            std::chrono::duration_cast<std::chrono::microseconds>(polkit::kPromptTimeout);
        result = sd_bus_call_async(bus_, &check.slot, call, onReply, &check,
                                   static_cast<std::uint64_t>(timeout.count()));
        sd_bus_message_unref(call);
    }
    if (result < 0) {
        finish(number, failed("polkit check failed (" + std::string(std::strerror(-result)) + ")"));
    }
    return number;
}

int Authority::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* check = static_cast<Check*>(userdata);
    Authority* self = check->owner;
    const std::uint64_t number = check->number;
    const polkit::CheckReply read = polkit::readCheckReply(reply);
    if (read.timedOut) {
        // Nobody answered within the limit: the dialog goes, rather than staying on screen for
        // an answer nobody waits for.
        self->withdraw(check->cancellationId);
        self->finish(number, failed("the presence prompt timed out"));
    } else if (read.unreadable) {
        self->finish(number, failed("polkit gave an unreadable answer"));
    } else if (!read.error.empty()) {
        self->finish(number, failed("polkit check failed (" + read.error + ")"));
    } else {
        self->finish(number, polkit::answerFromResult(read.authorized, read.challenge));
    }
    return 0;
}

void Authority::finish(std::uint64_t number, const Answer& answer) {
    auto found = checks_.find(number);
    if (found == checks_.end()) return;
    Done done = std::move(found->second.done);
    sd_bus_slot_unref(found->second.slot);
    checks_.erase(found);
    if (done) done(answer);
}

void Authority::cancel(std::uint64_t number) {
    auto found = checks_.find(number);
    if (found == checks_.end()) return;
    withdraw(found->second.cancellationId);
    sd_bus_slot_unref(found->second.slot);
    checks_.erase(found);
}

void Authority::withdraw(const std::string& cancellationId) {
    polkit::withdrawCheck(bus_, cancellationId);
}

}  // namespace quorvane::keyd
