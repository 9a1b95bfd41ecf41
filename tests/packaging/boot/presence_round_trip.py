#!/usr/bin/env python3
"""A presence round trip as a person at a terminal makes it: the helper wraps a vault key to the
key service's key, then unwraps it, which the service lets happen only after polkit asked the
person. pkttyagent, serving the helper's process, asks on a pseudo-terminal; this driver types the
password once the prompt is there (typed earlier, the agent would flush it).

Usage: presence_round_trip.py PASSWORD     (run as the person; prints what happened)
Exit status 0 when the unwrap answered a new session after one prompt, 1 otherwise."""
import json
import os
import pty
import select
import subprocess
import sys
import termios
import time


def main():
    password = sys.argv[1]
    helper = subprocess.Popen(["quorvane-helper", "--serve"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    if helper.stdout.readline().strip() != '{"ready":true}':
        print("the helper sent no ready line")
        return 1
    agent, terminal = pty.fork()
    if agent == 0:
        os.execvp("pkttyagent", ["pkttyagent", "--process", str(helper.pid)])
    time.sleep(1)  # the agent registers with polkit

    def send(request):
        helper.stdin.write(json.dumps(request) + "\n")
        helper.stdin.flush()

    def reply():
        return json.loads(helper.stdout.readline())

    try:
        send({"id": 1, "cmd": "create_session"})
        session = reply()["sessionId"]
        send({"id": 2, "cmd": "wrap_touchid", "sessionId": session})
        wrapped = reply()
        if not wrapped.get("ok"):
            print("wrap_touchid: %s" % wrapped)
            return 1
        send({"id": 3, "cmd": "unwrap_touchid", "blob": wrapped["blob"]})
        shown = b""
        deadline = time.monotonic() + 60
        # The agent turns echo off after writing its prompt, flushing what was typed before.
        while b"Password:" not in shown or termios.tcgetattr(terminal)[3] & termios.ECHO:
            if time.monotonic() > deadline:
                print("no password prompt: %r" % shown)
                return 1
            if select.select([terminal], [], [], 0.1)[0]:
                shown += os.read(terminal, 1024)
        os.write(terminal, password.encode() + b"\n")
        if not select.select([helper.stdout], [], [], 60)[0]:
            print("no answer a minute after the password; the terminal shows %r" % shown)
            return 1
        unwrapped = reply()
        prompts = shown.count(b"Password:")
        if unwrapped.get("ok") and "sessionId" in unwrapped and prompts == 1:
            print("unwrapped after %d prompt" % prompts)
            return 0
        print("unwrap_touchid: %s after %d prompts" % (unwrapped, prompts))
        return 1
    finally:
        helper.stdin.close()
        try:
            helper.wait(timeout=10)
        except subprocess.TimeoutExpired:
            helper.kill()
            helper.wait()
        os.kill(agent, 15)
        os.waitpid(agent, 0)


if __name__ == "__main__":
    sys.exit(main())
