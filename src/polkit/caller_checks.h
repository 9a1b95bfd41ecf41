#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "polkit/authority_check.h"
#include "polkit/polkit_client.h"
#include "system_bus/sd_bus_objects.h"

// A service's questions to polkit about its callers, asked from its event loop on its own
// connection to the system bus (the key service's, docs/key-service.md). The subject of every
// check is the caller's unique bus name, so polkit asks the person in the caller's session, and
// judges the caller's process and user, never the service's. polkit answers a service that is
// not root about another user's process because the action's policy names the service's user as
// an owner (data/com.quorvane.helper.policy).
//
// Nothing here waits: every check is sent, and its `done` runs later from the event loop, once,
// unless the check is cancelled first. The sd-bus entry points must be loaded (sdBusLibrary()).
namespace quorvane::platform::polkit {

// How long polkit has to answer a check that asks nobody. It answers such a check at once; one
// that takes longer is stuck, and the caller learns so rather than waiting minutes.
inline constexpr std::chrono::seconds kPrecheckTimeout{10};

class CallerChecks {
  public:
    using AnswerDone = std::function<void(const Answer&)>;
    using ReasonDone = std::function<void(const std::optional<std::string>&)>;

    // `bus` must outlive the object and be attached to the event loop that runs the checks.
    explicit CallerChecks(sd_bus* bus) : bus_(bus) {}
    // Withdraws every open check.
    ~CallerChecks();
    CallerChecks(const CallerChecks&) = delete;
    CallerChecks& operator=(const CallerChecks&) = delete;

    // precheck asks, letting nobody be asked, whether a prompt for `subject` could pass at all.
    // `done` gets why no prompt can be offered ("polkit is not running on the system bus", "the
    // polkit action com.quorvane.helper.unlock is not installed", "polkit refuses
    // com.quorvane.helper.unlock to this user", "polkit does not answer"), or nothing when one
    // can (a check that failed otherwise tells nothing about the rules: the prompt reports it).
    // Returns the check's number, or 0 with `*failure` set when it cannot be sent (then `done`
    // never runs).
    std::uint64_t precheck(const std::string& subject, ReasonDone done, std::string* failure);

    // ask starts a check of the unlock action for `subject` that lets polkit ask the person,
    // with a dialog that names `program` as the program that asked (printable ASCII; empty
    // shows the policy file's message). `done` gets the answer: passed; "user presence was not
    // confirmed"; "no polkit authentication agent is available"; "the presence prompt timed out"
    // (after kPromptTimeout, the check is then withdrawn); or "polkit check failed (...)". Returns
    // the check's number, or 0 with `*failure` set when it cannot be sent (then `done` never runs).
    std::uint64_t ask(const std::string& subject, const std::string& program, AnswerDone done,
                      std::string* failure);

    // cancel withdraws the check `number` (polkit closes its dialog) and forgets its `done`.
    // Unknown numbers are ignored.
    void cancel(std::uint64_t number);

  private:
    struct Check {
        CallerChecks* owner = nullptr;
        std::uint64_t number = 0;
        std::string cancellationId;
        sd_bus_objects::Slot slot;
        std::function<void(const CheckReply&)> done;
    };
    std::uint64_t send(const std::string& subject, bool interactive, const std::string& program,
                       std::chrono::microseconds timeout,
                       std::function<void(const CheckReply&)> done, std::string* failure);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

    sd_bus* bus_;
    std::uint64_t next_ = 0;
    std::map<std::uint64_t, std::unique_ptr<Check>> checks_;
};

}  // namespace quorvane::platform::polkit
