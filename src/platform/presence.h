#pragma once

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane::platform {

// A request to ask the person to confirm their presence.
struct PromptRequest {
    // The reason shown, where the platform lets the caller choose it.
    std::string_view reason;
    // When this descriptor hangs up (the writer of a pipe closed it: the application that asked
    // went away), the open prompt is withdrawn and the confirmation fails. -1 watches nothing.
    int cancelOnHangUp = -1;
    // Set when the person already confirmed this very request at another key's prompt (the key
    // store tries a second key after the first one did not open the blob): nobody is asked again.
    bool confirmed = false;
    // Set by a caller that asked unavailableReason for this prompt just before: confirm need not
    // ask the platform again (for polkit that would be a second round of calls per prompt).
    bool availabilityChecked = false;
};

// PresenceUnavailable: presence cannot be asked for now. `reason` is the platform's plain-words
// reason (a backend whose platform gives none supplies its own, such as "no biometrics").
class PresenceUnavailable : public std::exception {
  public:
    explicit PresenceUnavailable(std::string reason) : reason_(std::move(reason)) {}
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

  private:
    std::string reason_;
};

// TerminalPrompt is a prompt of the platform's own on the process's controlling terminal, for a
// process that no agent of the desktop answers for (run from a terminal, or by an application
// that was). It serves this process alone and lasts as long as the object, and no longer than
// the process.
class TerminalPrompt {
  public:
    virtual ~TerminalPrompt() = default;

    // start makes the prompt ready for this process's next check. Called when nothing answered
    // for the process, it replaces a prompt started earlier that no longer answers. False, with
    // nothing left running, when there is no controlling terminal or the prompt cannot be
    // started. Never raises.
    virtual bool start() = 0;
};

// The person's answer to one prompt.
struct PresenceAnswer {
    bool passed = false;
    // Why it did not pass, in plain words (refused, cancelled, timed out, withdrawn, no agent),
    // or empty when the platform gave no reason. Empty when passed.
    std::string failure;
};

// Presence is the user-presence prompt: a person at this machine confirms, with the platform's
// own dialog, that they want the vault opened. One object is used by one thread at a time.
class Presence {
  public:
    virtual ~Presence() = default;

    // unavailableReason returns nothing when a prompt can be offered now (one that the person
    // could pass), else why not, as PresenceUnavailable's reason. Shows nothing; never raises.
    virtual std::optional<std::string> unavailableReason() = 0;

    // confirm raises PresenceUnavailable when a prompt cannot be offered now (unless
    // `request.availabilityChecked` says the caller just asked: a prompt that turns out not to
    // be possible after all is then an answer that did not pass); otherwise shows one prompt and
    // blocks until the person answered, the platform's time limit passed, or
    // `request.cancelOnHangUp` hung up (the prompt is then withdrawn before returning).
    virtual PresenceAnswer confirm(const PromptRequest& request) = 0;
};

}  // namespace quorvane::platform
