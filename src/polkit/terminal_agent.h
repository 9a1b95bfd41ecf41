#pragma once

#include <sys/types.h>

namespace quorvane::platform {

// TerminalAgent is polkit's text authentication agent (pkttyagent) serving this process alone,
// on its controlling terminal, for as long as the object lives: what a command-line tool that
// asks polkit starts when no agent of the desktop answers for it. Serving only this process, it
// never takes over prompts meant for anything else. It is started only after polkit said that
// no agent serves this process; polkit (0.122) does not route a check whose subject is a bus
// name to an agent registered with --fallback, so that flag is not given.
class TerminalAgent {
  public:
    TerminalAgent() = default;
    // Stops the agent, when one was started, and waits for it.
    ~TerminalAgent();
    TerminalAgent(const TerminalAgent&) = delete;
    TerminalAgent& operator=(const TerminalAgent&) = delete;

    // start runs the agent and waits until it registered with polkit. False, with nothing left
    // running, when the process has no controlling terminal, pkttyagent is not installed, or it
    // did not register within a few seconds. Never raises.
    bool start();

  private:
    pid_t pid_ = -1;
};

}  // namespace quorvane::platform
