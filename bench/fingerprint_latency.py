#!/usr/bin/python3
"""From a fingerprint on the sensor to the unwrap_touchid reply, with the real fprintd and polkit.

Builds the world of tests/presence/fingerprint_polkit_test.py (root, a private mount namespace,
libfprint's virtual sensor, the key service started by the bus) and opens one wrapped vault key
21 times in one serving helper, first with an agent already serving the helper, then with the
agent the helper starts for itself on its terminal. Each round times the request to the finger
prompt on the agent's terminal, and the scan (the command written to the virtual sensor) to the
reply line.

Usage: bench/fingerprint_latency.py HELPER KEYD POLICY_FILE BUS_POLICY
"""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "presence"))
import fingerprint_polkit_test as fingerprint  # noqa: E402  (after the path it is found on)

real = fingerprint.real


def measure(world, rounds, agent):
    """Times of `rounds` unwraps in one serving helper: to the finger prompt, and from the scan
    to the reply. With `agent`, an agent serves the helper before it starts (as a desktop's
    would); without, the helper starts its own on its terminal at the first prompt."""
    helper = real.AgentSession(world, ["--serve"], agent)
    try:
        helper.read_line()
        session = helper.call(cmd="create_session", id=1)["sessionId"]
        blob = helper.call(cmd="wrap_touchid", id=2, sessionId=session)["blob"]
        to_prompt, to_reply = [], []
        for request in range(3, 3 + rounds):
            helper.screen = b""
            asked = time.monotonic()
            helper.send({"cmd": "unwrap_touchid", "id": request, "blob": blob})
            fingerprint.wait_for_screen(helper, fingerprint.ASKS_FOR_FINGER)
            to_prompt.append(time.monotonic() - asked)
            scanned = time.monotonic()
            world.scan(fingerprint.ENROLLED)
            reply = helper.read_line()
            to_reply.append(time.monotonic() - scanned)
            if not reply.get("ok"):
                sys.exit("the enrolled finger did not open the vault: %r" % reply)
    finally:
        helper.close()
    return to_prompt, to_reply


def report(what, times):
    print("%s: median %.1f ms, %.1f-%.1f ms over %d" % (
        what, statistics.median(times) * 1000, min(times) * 1000, max(times) * 1000, len(times)))


def run(rounds):
    world = fingerprint.FingerprintWorld(*sys.argv[1:5])
    try:
        world.enroll()
        to_prompt, to_reply = measure(world, rounds, agent=True)
        report("unwrap_touchid to the finger prompt, an agent already serving", to_prompt)
        report("fingerprint scan to the reply", to_reply)
        to_prompt, _ = measure(world, rounds, agent=False)
        print("unwrap_touchid to the finger prompt, the helper starting its own agent: %.1f ms"
              % (to_prompt[0] * 1000))
        report("unwrap_touchid to the finger prompt, the helper's own agent running",
               to_prompt[1:])
    finally:
        world.close()


if __name__ == "__main__":
    if sys.argv[-1] == "--inside":
        del sys.argv[-1]
        run(21)
    else:
        real.main(__file__)  # into a private mount namespace as root, back here with --inside
