#!/usr/bin/env python3
"""A presence round trip as a person at a terminal makes it: the helper wraps a vault key to the
key service's key, then unwraps it, which the service lets happen only after polkit asked the
person. The helper runs on a pseudo-terminal with no agent of a desktop, so it starts polkit's
text agent there for itself; this driver types the password once the prompt is there (typed
earlier, the agent would flush it) and checks that the prompt named the program that asked: this
driver, the helper's parent.

Usage: presence_round_trip.py PASSWORD     (run as the person; prints what happened)
Exit status 0 when the unwrap answered a new session after one prompt that named this driver,
1 otherwise."""
import json
import os
import pty
import select
import sys
import termios
import time


def main():
    password = sys.argv[1]
    with open("/proc/self/comm") as comm:
        program = comm.read().strip()
    requests_read, requests = os.pipe()
    replies, replies_write = os.pipe()
    helper, terminal = pty.fork()
    if helper == 0:
        os.dup2(requests_read, 0)
        os.dup2(replies_write, 1)
        os.execvp("quorvane-helper", ["quorvane-helper", "--serve"])
    os.close(requests_read)
    os.close(replies_write)
    pending = b""
    shown = b""

    def send(request):
        os.write(requests, json.dumps(request).encode() + b"\n")

    def reply(seconds=60):
        nonlocal pending, shown
        deadline = time.monotonic() + seconds
        while b"\n" not in pending:
            if time.monotonic() > deadline:
                raise TimeoutError("no reply; the terminal shows %r" % shown)
            for fd in select.select([replies, terminal], [], [], 0.1)[0]:
                data = os.read(fd, 4096)
                if fd == replies:
                    pending += data
                else:
                    shown += data
        line, pending = pending.split(b"\n", 1)
        return json.loads(line)

    try:
        if reply() != {"ready": True}:
            print("the helper sent no ready line")
            return 1
        send({"id": 1, "cmd": "create_session"})
        session = reply()["sessionId"]
        send({"id": 2, "cmd": "wrap_touchid", "sessionId": session})
        wrapped = reply()
        if not wrapped.get("ok"):
            print("wrap_touchid: %s" % wrapped)
            return 1
        send({"id": 3, "cmd": "unwrap_touchid", "blob": wrapped["blob"]})
        deadline = time.monotonic() + 60
        # The agent turns echo off after writing its prompt, flushing what was typed before.
        while b"Password:" not in shown or termios.tcgetattr(terminal)[3] & termios.ECHO:
            if time.monotonic() > deadline:
                print("no password prompt: %r" % shown)
                return 1
            if select.select([terminal], [], [], 0.1)[0]:
                shown += os.read(terminal, 1024)
        os.write(terminal, password.encode() + b"\n")
        unwrapped = reply()
        prompts = shown.count(b"Password:")
        named = ("Unlock Quorvane vault (asked by %s)" % program).encode() in shown
        if unwrapped.get("ok") and "sessionId" in unwrapped and prompts == 1 and named:
            print("unwrapped after %d prompt, which named %s" % (prompts, program))
            return 0
        print("unwrap_touchid: %s after %d prompts; the terminal shows %r"
              % (unwrapped, prompts, shown))
        return 1
    except TimeoutError as error:
        print(error)
        return 1
    finally:
        os.close(requests)
        deadline = time.monotonic() + 10
        while os.waitpid(helper, os.WNOHANG)[0] == 0:
            if time.monotonic() > deadline:
                os.kill(helper, 9)
                os.waitpid(helper, 0)
                break
            time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
