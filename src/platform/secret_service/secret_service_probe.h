#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quorvane::platform {

// How long the probe waits for the Secret Service: long enough for the bus to start it (a few
// hundred milliseconds on a desktop), short enough that a hung provider costs a one-shot command
// little.
inline constexpr std::chrono::milliseconds kSecretServiceProbeBound{5000};

// sessionBusAddress returns the address of this session's bus: DBUS_SESSION_BUS_ADDRESS when set
// and not empty, else the socket $XDG_RUNTIME_DIR/bus when it exists, else nothing. Unlike GLib,
// it never falls back to launching a bus (dbus-launch --autolaunch). Thread-safe.
std::optional<std::string> sessionBusAddress();

// secretServiceAnswers tells whether this session has a Secret Service to keep secrets in: a
// session bus (sessionBusAddress), on it a provider of org.freedesktop.secrets (running, or
// started by the bus on the call), which names a default collection (locked or not). It asks
// over a connection of its own, closed afterwards. Returns false when any of these is missing,
// when anything fails, and when no answer came within `bound` (plus at most one second to give
// up on the call). Never raises, never prompts. Not thread-safe with other users of libsecret.
bool secretServiceAnswers(std::chrono::milliseconds bound = kSecretServiceProbeBound);

}  // namespace quorvane::platform
