#include "polkit/caller_checks.h"

#include <unistd.h>

#include <cstring>

namespace quorvane::platform::polkit {
namespace {

using sd_bus_objects::sd;

Answer failed(std::string why) { return Answer{false, std::move(why)}; }

// reasonFrom reads a check that asked nobody: what it says about whether a prompt could pass.
std::optional<std::string> reasonFrom(const CheckReply& reply) {
    if (reply.timedOut) return std::string("polkit does not answer");
    if (reply.errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        reply.errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        reply.errorName.starts_with("org.freedesktop.DBus.Error.Spawn.")) {
        return std::string("polkit is not running on the system bus");
    }
    // polkitd's words for a check of an action no policy file declares.
    if (reply.error.find("is not registered") != std::string::npos) {
        return "the polkit action " + std::string(kUnlockAction) + " is not installed";
    }
    if (!reply.error.empty() || reply.unreadable) return std::nullopt;
    // Not authorized and no challenge: a rule says no whatever the person would do.
    if (!reply.authorized && !reply.challenge) {
        return "polkit refuses " + std::string(kUnlockAction) + " to this user";
    }
    return std::nullopt;
}

}  // namespace

CallerChecks::~CallerChecks() {
    for (auto& [number, check] : checks_) withdrawCheck(bus_, check->cancellationId);
}

std::uint64_t CallerChecks::precheck(const std::string& subject, ReasonDone done,
                                     std::string* failure) {
    return send(
        subject, false, "", kPrecheckTimeout,
        [done = std::move(done)](const CheckReply& reply) { done(reasonFrom(reply)); }, failure);
}

std::uint64_t CallerChecks::ask(const std::string& subject, const std::string& program,
                                AnswerDone done, std::string* failure) {
    return send(
        subject, true, program, kPromptTimeout,
        [done = std::move(done)](const CheckReply& reply) {
            if (reply.timedOut) {
                done(failed("the presence prompt timed out"));
            } else if (reply.unreadable) {
                done(failed("polkit gave an unreadable answer"));
            } else if (!reply.error.empty()) {
                done(failed("polkit check failed (" + reply.error + ")"));
            } else {
                done(answerFromResult(reply.authorized, reply.challenge));
            }
        },
        failure);
}

std::uint64_t CallerChecks::send(const std::string& subject, bool interactive,
                                 const std::string& program, std::chrono::microseconds timeout,
                                 std::function<void(const CheckReply&)> done,
                                 std::string* failure) {
    auto check = std::make_unique<Check>();
    check->owner = this;
    check->number = ++next_;
    check->cancellationId =
        "quorvane-keyd-" + std::to_string(getpid()) + "-" + std::to_string(check->number);
    check->done = std::move(done);

    sd_bus_objects::Message call;
    int result =
        newUnlockCheck(bus_, subject, interactive, check->cancellationId, program, call.out());
    if (result >= 0) {
        result = sd().sd_bus_call_async(bus_, check->slot.out(), call.get(), onReply, check.get(),
                                        static_cast<std::uint64_t>(timeout.count()));
    }
    if (result < 0) {
        *failure = "polkit check failed (" + std::string(std::strerror(-result)) + ")";
        return 0;
    }
    const std::uint64_t number = check->number;
    checks_.emplace(number, std::move(check));
    return number;
}

int CallerChecks::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* check = static_cast<Check*>(userdata);
    CallerChecks* self = check->owner;
    const CheckReply read = readCheckReply(reply);
    // Nobody answered within the limit: the dialog goes, rather than staying on screen for an
    // answer nobody waits for.
    if (read.timedOut) withdrawCheck(self->bus_, check->cancellationId);
    auto found = self->checks_.find(check->number);
    if (found == self->checks_.end()) return 0;
    // Taken out before `done` runs: it may start or cancel other checks. The slot is this
    // callback's own and sd-bus releases it after the callback returns.
    std::unique_ptr<Check> owned = std::move(found->second);
    self->checks_.erase(found);
    owned->done(read);
    return 0;
}

void CallerChecks::cancel(std::uint64_t number) {
    auto found = checks_.find(number);
    if (found == checks_.end()) return;
    withdrawCheck(bus_, found->second->cancellationId);
    checks_.erase(found);
}

}  // namespace quorvane::platform::polkit
