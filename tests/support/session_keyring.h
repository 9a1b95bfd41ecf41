#pragma once

#include <sys/types.h>

#include <string>

#include "support/helper_process.h"

struct sd_bus;

namespace quorvane::testing {

// SessionKeyring is a desktop session's keyring for tests: a private session bus of its own, a
// temporary HOME and runtime directory, and on the bus a real gnome-keyring-daemon whose login
// keyring was created and unlocked with a password from standard input, as PAM does at login.
// With Provider::none the bus has no Secret Service at all (nothing owns or can start
// org.freedesktop.secrets); with Provider::silent the test process owns that name and never
// answers, like a hung keyring. Everything started is stopped, by process id, when the object
// goes.
class SessionKeyring {
  public:
    enum class Provider { gnomeKeyring, none, silent };

    // Starts the bus and, for gnomeKeyring, the daemon unlocked with `password`, and waits until
    // it answers. Throws std::runtime_error on failure.
    explicit SessionKeyring(Provider provider = Provider::gnomeKeyring,
                            const std::string& password = kPassword);
    ~SessionKeyring();
    SessionKeyring(const SessionKeyring&) = delete;
    SessionKeyring& operator=(const SessionKeyring&) = delete;

    static constexpr const char* kPassword = "test-login-password";

    const std::string& home() const { return home_; }
    // environment points a child at this session: its bus, HOME and data and runtime directories.
    EnvironmentOverrides environment() const;

    // secretTool runs `secret-tool` with `arguments` in this session.
    RunResult secretTool(const std::vector<std::string>& arguments,
                         const std::string& input = "") const;

    // lock locks the login keyring through the Secret Service's Lock method (which never
    // prompts); only a password can unlock it again.
    void lock();
    // unlock unlocks the login keyring with the password the daemon was last started with, without
    // a prompt (through GNOME Keyring's own interface for that, as its password tools do).
    void unlock();
    // clear deletes every item of the keyring.
    void clear();
    // restartKeyring ends the daemon and starts a new one over the same keyring files, unlocked
    // with `password`: a wrong one leaves the login keyring locked.
    void restartKeyring(const std::string& password);
    // stopKeyring ends the daemon; the bus stays, and cannot start another.
    void stopKeyring();

  private:
    void start(Provider provider, const std::string& password);
    // stop ends whatever was started, without waiting on the bus.
    void stop();
    void startKeyring(const std::string& password);
    TempDir directory_;
    std::string home_;
    std::string runtime_;
    std::string address_;
    std::string password_;
    pid_t bus_ = -1;
    pid_t keyring_ = -1;
    ::sd_bus* silentOwner_ = nullptr;
};

}  // namespace quorvane::testing
