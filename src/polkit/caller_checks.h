#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "polkit/polkit_client.h"

// A service's questions to polkit about its callers, asked from its event loop on its own
// connection to the system bus (the key service's, docs/key-service.md). The subject of every check
// is the caller's unique bus name, so polkit asks the person in the caller's session, and judges
// the caller's process and user, never the service's. polkit answers a service that is not root
// about another user's process because the action's policy names the service's user as an owner
// (data/com.quorvane.helper.policy).
namespace quorvane::platform::polkit {

class CallerChecks {
  public:
    using Answer = polkit::Answer;
    using Done = std::function<void(const Answer&)>;

    // `bus` must outlive the object and be attached to the event loop that runs the checks.
    explicit CallerChecks(sd_bus* bus) : bus_(bus) {}
    ~CallerChecks();
    CallerChecks(const CallerChecks&) = delete;
    CallerChecks& operator=(const CallerChecks&) = delete;

    // unavailableReason answers, without asking anybody, why no prompt can be offered to the
    // caller `subject` now, or nothing when one can (polkit/polkit_client.h). Blocks for
    // polkit's answer.
    std::optional<std::string> unavailableReason(const std::string& subject);

    // ask starts a check of the unlock action for `subject` that lets polkit ask the person, and
    // returns its number. `done` runs once, from the event loop, with the answer: passed; "user
    // presence was not confirmed"; "no polkit authentication agent is available"; "the presence
    // prompt timed out" (after kPromptTimeout, the check is then
    // withdrawn); or "polkit check failed (...)". It does not run after cancel. Raises nothing;
    // a check that cannot be sent is answered at once, from within ask.
    std::uint64_t ask(const std::string& subject, Done done);

    // cancel withdraws the check `number` (polkit closes its dialog) and forgets its `done`.
    // Unknown numbers are ignored.
    void cancel(std::uint64_t number);

  private:
    struct Check {
        CallerChecks* owner = nullptr;
        std::uint64_t number = 0;
        std::string cancellationId;
        sd_bus_slot* slot = nullptr;
        Done done;
    };
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void finish(std::uint64_t number, const Answer& answer);
    void withdraw(const std::string& cancellationId);

    sd_bus* bus_;
    std::uint64_t next_ = 0;
    std::map<std::uint64_t, Check> checks_;
};

}  // namespace quorvane::platform::polkit
