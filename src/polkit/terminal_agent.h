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
// A guard stands between, a short script of the system's shell that the helper runs: pkttyagent
// killed while the person types leaves the terminal without echo, so the guard stops it and
// gives the terminal its settings back. The guard is exec'd at once, so no copy of the helper's
// memory outlives the fork.
// One object is used by one thread at a time, the thread that lives as long as the process.
class TerminalAgent final : public TerminalPrompt {
  public:
    TerminalAgent() = default;
    // Stops the agent, when one is running, and waits for it.
    ~TerminalAgent() override;
    TerminalAgent(const TerminalAgent&) = delete;
    TerminalAgent& operator=(const TerminalAgent&) = delete;

    // start runs the agent and waits until it registered with polkit. It is called when no
    // agent answers for this process, so an agent started before (one the person ended with
    // Ctrl-D at its prompt, or one on its way out) is stopped first. False, with nothing left
    // running, when the process has no controlling terminal, pkttyagent is not installed, or it
    // did not register within a few seconds. Never raises.
    bool start() override;

  private:
    pid_t pid_ = -1;
};

}  // namespace quorvane::platform
