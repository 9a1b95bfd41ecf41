#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "support/helper_process.h"

namespace quorvane::testing {

// PrivateSystemBus runs a D-Bus daemon of its own, configured as a system bus, for tests of the
// presence prompt: point QUORVANE_TEST_SYSTEM_BUS at address() and the helper talks to it
// instead of the machine's bus. On it, a scriptable polkit authority can be started:
// python3-dbusmock's polkitd template (Debian's /usr/bin/python3 has the module).
//
// Everything started is stopped, by process id, when the object goes.
class PrivateSystemBus {
  public:
    // Starts the daemon and waits until it listens. Throws std::runtime_error on failure.
    // `maxConnectionsPerUser` (0: the daemon's default) lowers the bus's limit of connections of
    // one uid, so that a test can reach it quickly.
    explicit PrivateSystemBus(unsigned maxConnectionsPerUser = 0);
    ~PrivateSystemBus();
    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    const std::string& address() const { return address_; }
    // environment: the overrides that point a helper child at this bus.
    EnvironmentOverrides environment() const { return {{"QUORVANE_TEST_SYSTEM_BUS", address_}}; }

    // startPolkit starts the polkitd template and waits until it owns org.freedesktop.PolicyKit1.
    // The template has no EnumerateActions; with `registerUnlockAction` one is added that lists
    // com.quorvane.helper.unlock, as polkit does once the policy file is installed. The template
    // refuses every action until setAllowed(true).
    void startPolkit(bool registerUnlockAction = true);
    // startScriptedPolkit starts a bare mock under polkit's name whose CheckAuthorization runs
    // the Python statement `checkCode` (assign `ret`), for answers the template cannot give.
    void startScriptedPolkit(const std::string& checkCode);
    // startRefusingPolkit starts a polkit whose person refuses every dialog, answering as the real
    // daemon does with the policy's auth_self defaults: a check that may ask gets "not
    // authorized, no challenge", one that may not ask gets "not authorized, challenge".
    void startRefusingPolkit();
    // stopPolkit ends the polkit mock and waits until its name is gone.
    void stopPolkit();

    // setAllowed makes the template answer yes (or no) for the unlock action.
    void setAllowed(bool allowed);
    // checkCalls counts the CheckAuthorization calls the mock saw since the last clearCalls.
    std::size_t checkCalls();
    // promptCalls counts the CheckAuthorization calls that allowed user interaction (prompts).
    std::size_t promptCalls();
    // lastCheckFlags returns the flags argument of the latest CheckAuthorization call.
    unsigned lastCheckFlags();
    // lastCheckSubjectKind returns the subject kind of the latest call ("system-bus-name", ...).
    std::string lastCheckSubjectKind();
    void clearCalls();

  private:
    void waitForPolkit(bool present);
    pid_t daemon_ = -1;
    pid_t polkit_ = -1;
    std::string address_;
    TempDir directory_;
};

}  // namespace quorvane::testing
