#pragma once

#include <chrono>
#include <memory>
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

// What the probe found on the session bus.
struct SecretServiceProbe {
    enum class Answer {
        // A provider of org.freedesktop.secrets answered and names a default collection (locked
        // or not): secrets belong there.
        answers,
        // There is no Secret Service: no session bus, no libsecret, or a bus with nobody owning
        // org.freedesktop.secrets and no service file to start one, or a provider without a
        // default collection. Secrets go to the file store.
        absent,
        // A Secret Service is there but cannot be used now: it did not answer within the bound
        // (a stopped, wedged or swapped-out daemon), or its start or its answer failed. This is
        // never taken for an absent keyring: nothing may be written elsewhere meanwhile.
        unusable,
    };
    Answer answer = Answer::absent;
    // Why it is unusable, in plain words ("the Secret Service did not answer within 5 seconds");
    // empty otherwise.
    std::string reason;
    // When it answers: a reference to the process's shared session bus connection (a
    // GDBusConnection), which libsecret takes too as long as someone holds it. Keeping the probe
    // keeps the connection, so the item store after it talks over the same one instead of
    // connecting and authenticating again.
    std::shared_ptr<void> session{};
};

// probeSecretService asks this session whether it has a Secret Service to keep secrets in: a
// session bus (sessionBusAddress), on it a provider of org.freedesktop.secrets (running, or
// started by the bus on the call), which names a default collection. It asks over the process's
// shared session bus connection, the one libsecret uses, and waits at most `bound` (plus one
// second to give up on the call). Never raises, never prompts. Not thread-safe with other users of
// libsecret.
SecretServiceProbe probeSecretService(std::chrono::milliseconds bound = kSecretServiceProbeBound);

}  // namespace quorvane::platform
