#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The presence prompt of the Linux backend: a polkit authorization check on the D-Bus system bus,
// through sd-bus. The bus is the one at the address given, never one found through the
// environment: a program that follows DBUS_SYSTEM_BUS_ADDRESS can be shown a fake polkit that
// says yes to everything. Each call opens its own bus connection and closes it before returning,
// so calls may run on any thread.
namespace quorvane::platform::polkit {

// The action the helper asks about; its policy file ships in data/ and carries the message
// shown to the person ("Unlock Quorvane vault").
inline constexpr std::string_view kUnlockAction = "com.quorvane.helper.unlock";

// The standard system bus, where polkit is.
inline constexpr std::string_view kSystemBusAddress = "unix:path=/run/dbus/system_bus_socket";

// How long a person has to answer. sd-bus's default of 25 seconds is too short for someone who
// has to notice the dialog and type a password.
inline constexpr std::chrono::minutes kPromptTimeout{5};
// The failure of a check that needed a person when no authentication agent serves the caller.
inline constexpr const char* kNoAgent = "no polkit authentication agent is available";

// unavailableReason answers why presence cannot be asked for now, or nothing when it can: the
// bus at `busAddress` answers, polkit owns its name (or the bus can start it on demand), the
// unlock action is registered, and a check that lets nobody be asked does not answer "not
// authorized, no challenge" (a rule that refuses this user: "polkit refuses
// com.quorvane.helper.unlock to this user"). The reason is plain words without a leading
// "unavailable: ". Shows nothing to anybody.
std::optional<std::string> unavailableReason(std::string_view busAddress);

// unavailableReasonFor is unavailableReason on a connection the caller holds, about the process
// behind the unique bus name `subject`. polkit answers a caller that is not root about another
// user's process only when the action's policy names the caller's user as an owner
// (org.freedesktop.policykit.owner), as the key service's does. Raises nothing.
std::optional<std::string> unavailableReasonFor(sd_bus* bus, const std::string& subject);

// Answer of one authorization check.
struct Answer {
    bool passed = false;
    std::string failure;  // why it did not pass; empty when passed
};

// answerFromResult maps CheckAuthorization's (is_authorized, is_challenge) pair: authorized
// passes; a challenge that came back unanswered means no authentication agent could ask the
// person; anything else is a refusal or a cancelled dialog.
Answer answerFromResult(bool authorized, bool challenge);

// ask runs, on the bus at `busAddress`, CheckAuthorization for kUnlockAction with this process's
// bus connection as the subject, no details, and AllowUserInteraction when `allowInteraction` is
// set. Blocks until polkit answers, `timeout` passes, or `cancelOnHangUp` (a descriptor, -1 for
// none) hangs up while the check is pending; in the last two cases the pending check is
// cancelled, so polkit withdraws the dialog. A descriptor that hung up before the check was sent
// (input closed up front, as in `echo request | quorvane-helper --serve`) is not watched. Never
// raises; every failure is an Answer that did not pass ("the presence prompt timed out", "the
// application went away; the presence prompt was withdrawn", ...).
Answer ask(std::string_view busAddress, bool allowInteraction,
           std::chrono::milliseconds timeout = kPromptTimeout, int cancelOnHangUp = -1);

}  // namespace quorvane::platform::polkit
