#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <string>
#include <string_view>

// What the helper and the key service both say to polkit's authority, and how they read its
// answer: one CheckAuthorization of the unlock action about a caller's bus name, its reply, and
// its withdrawal. The helper asks about itself and waits; the key service asks about its callers
// from its event loop; the words on the bus are the same. Everything goes through the sd-bus
// entry points of system_bus/sd_bus_library.h, which the caller has checked are loaded.
namespace quorvane::platform::polkit {

inline constexpr const char* kPolkitName = "org.freedesktop.PolicyKit1";
inline constexpr const char* kAuthorityPath = "/org/freedesktop/PolicyKit1/Authority";
inline constexpr const char* kAuthorityInterface = "org.freedesktop.PolicyKit1.Authority";

// The action the helper asks about; its policy file ships in data/ and carries the message
// shown to the person ("Unlock Quorvane vault").
inline constexpr std::string_view kUnlockAction = "com.quorvane.helper.unlock";

// How long a person has to answer a prompt, in the helper and in the key service alike. sd-bus's
// default of 25 seconds is too short for someone who has to notice the dialog and type a password.
inline constexpr std::chrono::minutes kPromptTimeout{5};

// The dialog's message when it names the program that asked: the prompt text, then the program,
// which polkit fills in from the check's detail "program".
inline constexpr std::string_view kMessageNamingProgram = " (asked by $(program))";

// newUnlockCheck builds, on `bus`, a CheckAuthorization of kUnlockAction whose subject is the
// process behind the unique bus name `subject`, AllowUserInteraction when `allowInteraction` is
// set, and `cancellationId` to withdraw it by. With `program` empty it carries no details, and
// the dialog shows the policy file's message; otherwise its message names `program`, which
// must be printable ASCII. polkit takes details only from the action's owner (the key service),
// and refuses the whole check of anybody else that sends them. Returns sd-bus's result
// (negative errno on failure, `*call` then unset); the caller owns `*call`.
int newUnlockCheck(sd_bus* bus, const std::string& subject, bool allowInteraction,
                   const std::string& cancellationId, std::string_view program,
                   sd_bus_message** call);

// What one reply to a CheckAuthorization said.
struct CheckReply {
    bool timedOut = false;    // nobody answered within the call's limit
    std::string error;        // the call failed: polkit's or the bus's description; else empty
    std::string errorName;    // and the D-Bus name of that error
    bool unreadable = false;  // polkit answered something that is not CheckAuthorization's reply
    bool authorized = false;
    bool challenge = false;
};

// readCheckReply reads a reply to newUnlockCheck's call (or the error the bus put in its place).
CheckReply readCheckReply(sd_bus_message* reply);

// withdrawCheck asks polkit to withdraw the check `cancellationId`, so that it closes a dialog
// nobody waits for any more. Not waited for: polkit answers the withdrawn check itself, with
// "not authorized"; the message leaves with the connection's next flush or close.
void withdrawCheck(sd_bus* bus, const std::string& cancellationId);

}  // namespace quorvane::platform::polkit
