#include "keyd/authority.h"

#include <unistd.h>

#include <cstring>

#include "platform/key_service/key_service_interface.h"

namespace quorvane::keyd {
namespace {

constexpr const char* kPolkitName = "org.freedesktop.PolicyKit1";
constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 0x1;

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
    check.cancellationId =
        "quorvane-keyd-" + std::to_string(getpid()) + "-" + std::to_string(number);
    check.done = std::move(done);

    sd_bus_message* call = nullptr;
    int result = sd_bus_message_new_method_call(bus_, &call, kPolkitName, kAuthorityPath,
                                                kAuthorityInterface, "CheckAuthorization");
    if (result >= 0) {
        result = sd_bus_message_append(call, "(sa{sv})sa{ss}us", "system-bus-name", 1, "name", "s",
                                       subject.c_str(), platform::polkit::kUnlockAction.data(), 0,
                                       kAllowUserInteraction, check.cancellationId.c_str());
    }
    if (result >= 0) {
        const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(
            platform::key_service::kPromptTimeout);
        result = sd_bus_call_async(bus_, &check.slot, call, onReply, &check,
                                   static_cast<std::uint64_t>(timeout.count()));
    }
    sd_bus_message_unref(call);
    if (result < 0) {
        finish(number, failed("polkit check failed (" + std::string(std::strerror(-result)) + ")"));
    }
    return number;
}

int Authority::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* check = static_cast<Check*>(userdata);
    Authority* self = check->owner;
    const std::uint64_t number = check->number;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        if (sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) ||
            sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT)) {
            // Nobody answered within the limit: the dialog goes, rather than staying on screen
            // for an answer nobody waits for.
            self->withdraw(check->cancellationId);
            self->finish(number, failed("the presence prompt timed out"));
        } else {
            const char* text = error->message != nullptr && *error->message != '\0'
                                   ? error->message
                                   : (error->name != nullptr ? error->name : "unknown");
            self->finish(number, failed("polkit check failed (" + std::string(text) + ")"));
        }
        return 0;
    }
    int authorized = 0;
    int challenge = 0;
    if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
        sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
        self->finish(number, failed("polkit gave an unreadable answer"));
        return 0;
    }
    self->finish(number, platform::polkit::answerFromResult(authorized != 0, challenge != 0));
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
    // Not waited for: polkit answers the withdrawn check itself, with "not authorized".
    sd_bus_call_method_async(bus_, nullptr, kPolkitName, kAuthorityPath, kAuthorityInterface,
                             "CancelCheckAuthorization", nullptr, nullptr, "s",
                             cancellationId.c_str());
}

}  // namespace quorvane::keyd
