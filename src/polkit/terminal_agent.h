#pragma once

#include <sys/types.h>

#include "platform/presence.h"

namespace quorvane::platform {

// TerminalAgent is polkit's text authentication agent (pkttyagent) serving this process alone,
// on its controlling terminal: what a command-line tool that asks polkit starts when no agent of
// the desktop answers for it. Serving only this process, it never takes over prompts meant for
// anything else. polkit (0.122) does not route a check whose subject is a bus name to an agent
// registered with --fallback, so that flag is not given; it does route a check about this
// process's bus connection, whoever asks (the key service included), to the agent registered
// for this process.
//
// The agent is this process's and nobody else's: it reads and writes the terminal only (its
// standard input is /dev/null, and it holds no other descriptor of this process, so the
// application's pipes reach end of file when this process ends), and it ends with this process
// whatever ends it: the object going away, exit, or a signal (the kernel's parent-death signal).
// A small guard process of the helper's own stands between: pkttyagent killed while the person
// types leaves the terminal without echo, so the guard stops it and gives the echo back.
// One object is used by one thread at a time, the thread that lives as long as the process.
class TerminalAgent final : public TerminalPrompt {
  public:
    TerminalAgent() = default;
    // Stops the agent, when one is running, and waits for it.
    ~TerminalAgent() override;
    TerminalAgent(const TerminalAgent&) = delete;
    TerminalAgent& operator=(const TerminalAgent&) = delete;

    // start runs the agent, unless the one started before still runs, and waits until it
    // registered with polkit. An agent that ended since (the person pressed Ctrl-D at its
    // prompt) is replaced. False, with nothing left running, when the process has no
    // controlling terminal, pkttyagent is not installed, or it did not register within a few
    // seconds (another agent already serves this process, for one). Never raises.
    bool start() override;

  private:
    pid_t pid_ = -1;
};

}  // namespace quorvane::platform
