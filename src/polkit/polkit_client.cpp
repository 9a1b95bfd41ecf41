#include "polkit/polkit_client.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "polkit/authority_check.h"
#include "system_bus/bus_reply_wait.h"
#include "system_bus/sd_bus_library.h"
#include "system_bus/sd_bus_objects.h"

namespace quorvane::platform::polkit {
namespace {

// The public functions below return before anything here runs when libsystemd could not be
// loaded.
using sd_bus_objects::awaitReply;
using sd_bus_objects::Bus;
using sd_bus_objects::BusError;
using sd_bus_objects::Message;
using sd_bus_objects::openBus;
using sd_bus_objects::ReplyWait;
using sd_bus_objects::sd;

constexpr const char* kNoLibrary = "the D-Bus client library (libsystemd) cannot be loaded";

std::string unreachable(int result) {
    return std::string("the system bus cannot be reached (") + std::strerror(-result) + ")";
}

// polkitReachable answers nothing when polkit owns its name or the bus will start it for the
// first call; otherwise why not.
std::optional<std::string> polkitReachableReason(sd_bus* bus) {
    BusError error;
    Message reply;
    int result = sd().sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", "NameHasOwner", error.get(),
                                         reply.out(), "s", kPolkitName);
    if (result < 0) return "the system bus does not answer (" + error.text(result) + ")";
    int owned = 0;
    if (sd().sd_bus_message_read(reply.get(), "b", &owned) < 0) {
        return std::string("the system bus gave an unreadable answer");
    }
    if (owned) return std::nullopt;

    // polkitd is often started on demand: an activatable name counts as present.
    BusError listError;
    Message names;
    result = sd().sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "ListActivatableNames",
                                     listError.get(), names.out(), "");
    if (result >= 0 && sd().sd_bus_message_enter_container(names.get(), 'a', "s") > 0) {
        const char* name = nullptr;
        while (sd().sd_bus_message_read(names.get(), "s", &name) > 0) {
            if (std::strcmp(name, kPolkitName) == 0) return std::nullopt;
        }
    }
    return std::string("polkit is not running on the system bus");
}

std::optional<std::string> actionMissingReason(sd_bus* bus) {
    BusError error;
    Message reply;
    int result = sd().sd_bus_call_method(bus, kPolkitName, kAuthorityPath, kAuthorityInterface,
                                         "EnumerateActions", error.get(), reply.out(), "s", "");
    if (result < 0) return "polkit cannot list its actions (" + error.text(result) + ")";
    sd_bus_message* m = reply.get();
    if (sd().sd_bus_message_enter_container(m, 'a', "(ssssssuuua{ss})") < 0) {
        return std::string("polkit gave an unreadable list of actions");
    }
    for (;;) {
        int entered = sd().sd_bus_message_enter_container(m, 'r', "ssssssuuua{ss}");
        if (entered < 0) return std::string("polkit gave an unreadable list of actions");
        if (entered == 0) break;
        const char* actionId = nullptr;
        if (sd().sd_bus_message_read(m, "s", &actionId) < 0 ||
            sd().sd_bus_message_skip(m, "sssssuuua{ss}") < 0 ||
            sd().sd_bus_message_exit_container(m) < 0) {
            return std::string("polkit gave an unreadable list of actions");
        }
        if (kUnlockAction == actionId) return std::nullopt;
    }
    return "the polkit action " + std::string(kUnlockAction) + " is not installed";
}

std::string nextCancellationId() {
    static std::atomic<unsigned> counter{0};
    return "quorvane-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

Answer failed(std::string why) { return Answer{false, std::move(why)}; }

// A CheckAuthorization call in flight, filled in by its reply handler.
struct PendingCheck {
    bool answered = false;
    CheckReply reply;
};

int onCheckReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<PendingCheck*>(userdata);
    pending->answered = true;
    pending->reply = readCheckReply(reply);
    return 0;
}

// Outcome of one check on the bus: polkit's pair, or why there is none.
struct CheckResult {
    std::optional<std::string> failure;  // set when polkit gave no answer
    bool authorized = false;
    bool challenge = false;
};

CheckResult checkOnBus(sd_bus* bus, const std::string& subject, bool allowInteraction,
                       std::chrono::milliseconds timeout, int cancelOnHangUp) {
    Message call;
    const std::string cancellationId = nextCancellationId();
    // No program named: the helper does not own the action, and polkit would refuse its
    // details, so its dialog shows the policy file's message.
    int result = newUnlockCheck(bus, subject, allowInteraction, cancellationId, "", call.out());
    if (result < 0) {
        return {"polkit check could not be built (" + std::string(std::strerror(-result)) + ")"};
    }

    // Sent asynchronously so that, while the person is being asked, the application's end of
    // standard input can be watched too: a person should not be left with a password dialog of
    // a helper whose application is gone.
    PendingCheck pending;
    sd_bus_slot* slot = nullptr;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    result = sd().sd_bus_call_async(bus, &slot, call.get(), onCheckReply, &pending,
                                    static_cast<std::uint64_t>(usec));
    if (result < 0) return {"polkit check failed (" + std::string(std::strerror(-result)) + ")"};
    struct SlotRelease {
        sd_bus_slot* slot;
        ~SlotRelease() { sd().sd_bus_slot_unref(slot); }
    } release{slot};

    const ReplyWait wait = awaitReply(bus, pending.answered, cancelOnHangUp);
    switch (wait.end) {
        case ReplyWait::End::answered:
            break;
        case ReplyWait::End::busFailed:
            return {unreachable(wait.error)};
        case ReplyWait::End::pollFailed:
            return {"polkit check failed (" + std::string(std::strerror(wait.error)) + ")"};
        case ReplyWait::End::hungUp:
            withdrawCheck(bus, cancellationId);
            return {"the application went away; the presence prompt was withdrawn"};
    }
    if (pending.reply.timedOut) {
        withdrawCheck(bus, cancellationId);
        return {"the presence prompt timed out"};
    }
    if (pending.reply.unreadable) return {"polkit check failed (polkit gave an unreadable answer)"};
    if (!pending.reply.error.empty()) {
        return {"polkit check failed (" + pending.reply.error + ")"};
    }
    return {std::nullopt, pending.reply.authorized, pending.reply.challenge};
}

// refusedReason asks polkit, without letting it ask anybody, whether the unlock could pass for
// `subject` at all. "Not authorized, and no challenge" means a rule says no whatever the person
// would do; then no prompt should be offered that can never pass.
std::optional<std::string> refusedReason(sd_bus* bus, const std::string& subject) {
    // polkit answers a check that may not ask anybody at once; sd-bus's usual limit will do.
    constexpr std::chrono::seconds kNoPromptTimeout{25};
    CheckResult answer = checkOnBus(bus, subject, false, kNoPromptTimeout, -1);
    // A check that failed tells nothing about the rules; the prompt itself will report it.
    if (answer.failure) return std::nullopt;
    if (answer.authorized || answer.challenge) return std::nullopt;
    return "polkit refuses " + std::string(kUnlockAction) + " to this user";
}

// ownName returns this connection's unique name, the subject of the checks it asks about
// itself, or nothing with the reason in `failure`.
std::optional<std::string> ownName(sd_bus* bus, std::string* failure) {
    const char* uniqueName = nullptr;
    const int result = sd().sd_bus_get_unique_name(bus, &uniqueName);
    if (result < 0) {
        *failure = unreachable(result);
        return std::nullopt;
    }
    return std::string(uniqueName);
}

}  // namespace

std::optional<std::string> unavailableReason(std::string_view busAddress) {
    if (sdBusLibrary() == nullptr) return std::string(kNoLibrary);
    Bus bus;
    int result = openBus(bus, busAddress);
    if (result < 0) return unreachable(result);
    std::string failure;
    std::optional<std::string> subject = ownName(bus.get(), &failure);
    if (!subject) return failure;
    return unavailableReasonFor(bus.get(), *subject);
}

std::optional<std::string> unavailableReasonFor(sd_bus* bus, const std::string& subject) {
    if (sdBusLibrary() == nullptr) return std::string(kNoLibrary);
    try {
        if (auto reason = polkitReachableReason(bus)) return reason;
        if (auto reason = actionMissingReason(bus)) return reason;
        return refusedReason(bus, subject);
    } catch (const std::exception&) {
        return std::string("polkit cannot be asked (out of memory)");
    }
}

Answer answerFromResult(bool authorized, bool challenge) {
    if (authorized) return Answer{true, {}};
    if (challenge) return failed(kNoAgent);
    return failed("user presence was not confirmed");
}

Answer ask(std::string_view busAddress, bool allowInteraction, std::chrono::milliseconds timeout,
           int cancelOnHangUp) {
    if (sdBusLibrary() == nullptr) return failed(kNoLibrary);
    try {
        Bus bus;
        int result = openBus(bus, busAddress);
        if (result < 0) return failed(unreachable(result));
        std::string failure;
        std::optional<std::string> subject = ownName(bus.get(), &failure);
        if (!subject) return failed(failure);
        CheckResult answer =
            checkOnBus(bus.get(), *subject, allowInteraction, timeout, cancelOnHangUp);
        if (answer.failure) return failed(std::move(*answer.failure));
        return answerFromResult(answer.authorized, answer.challenge);
    } catch (const std::exception&) {
        return failed("polkit check failed (out of memory)");
    }
}

}  // namespace quorvane::platform::polkit
