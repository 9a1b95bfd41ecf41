#include "polkit/caller_checks.h"

#include <unistd.h>

#include <cstring>

#include "polkit/authority_check.h"
#include "system_bus/sd_bus_library.h"
#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::polkit {
namespace {

using sd_bus_objects::sd;

CallerChecks::Answer failed(std::string why) { return CallerChecks::Answer{false, std::move(why)}; }

}  // namespace

CallerChecks::~CallerChecks() {
    for (auto& [number, check] : checks_) {
        withdraw(check.cancellationId);
        if (check.slot != nullptr) sd().sd_bus_slot_unref(check.slot);
    }
}

std::optional<std::string> CallerChecks::unavailableReason(const std::string& subject) {
    return unavailableReasonFor(bus_, subject);
}

std::uint64_t CallerChecks::ask(const std::string& subject, Done done) {
    const std::uint64_t number = ++next_;
    Check& check = checks_[number];
    check.owner = this;
    check.number = number;
    check.cancellationId =
        "quorvane-keyd-" + std::to_string(getpid()) + "-" + std::to_string(number);
    check.done = std::move(done);

    if (sdBusLibrary() == nullptr) {
        finish(number, failed("polkit check failed (libsystemd cannot be loaded)"));
        return number;
    }
    sd_bus_message* call = nullptr;
    int result = newUnlockCheck(bus_, subject, true, check.cancellationId, &call);
    if (result >= 0) {
        const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(kPromptTimeout);
        result = sd().sd_bus_call_async(bus_, &check.slot, call, onReply, &check,
                                        static_cast<std::uint64_t>(timeout.count()));
        sd().sd_bus_message_unref(call);
    }
    if (result < 0) {
        finish(number, failed("polkit check failed (" + std::string(std::strerror(-result)) + ")"));
    }
    return number;
}

int CallerChecks::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* check = static_cast<Check*>(userdata);
    CallerChecks* self = check->owner;
    const std::uint64_t number = check->number;
    const CheckReply read = readCheckReply(reply);
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
        self->finish(number, answerFromResult(read.authorized, read.challenge));
    }
    return 0;
}

void CallerChecks::finish(std::uint64_t number, const Answer& answer) {
    auto found = checks_.find(number);
    if (found == checks_.end()) return;
    Done done = std::move(found->second.done);
    if (found->second.slot != nullptr) sd().sd_bus_slot_unref(found->second.slot);
    checks_.erase(found);
    if (done) done(answer);
}

void CallerChecks::cancel(std::uint64_t number) {
    auto found = checks_.find(number);
    if (found == checks_.end()) return;
    withdraw(found->second.cancellationId);
    if (found->second.slot != nullptr) sd().sd_bus_slot_unref(found->second.slot);
    checks_.erase(found);
}

void CallerChecks::withdraw(const std::string& cancellationId) {
    withdrawCheck(bus_, cancellationId);
}

}  // namespace quorvane::platform::polkit
