#!/usr/bin/env python3
"""First 64 MiB request of a fresh helper against a warm one, for one or more helper binaries.

Each round starts every binary once, in random order, so all of them meet the same machine: a
fresh helper opens a session and is sent one encrypt_bytes line of a 64 MiB payload (the first
request), then the same line twice more (warm: the faster of the two). The line is one buffer
sent once before anything is timed, with each helper's session identifier written over the last
one, so the figures do not include this process's own first copy of a new buffer (see
docs/performance.md).

Usage: bench/first_request.py [--rounds N] [--quiet SECONDS] <helper> [<helper> ...]
  --quiet waits that long before each fresh helper, the way a helper is started on a machine
  that was idle (fresh memory is then at its costliest on some virtual machines).
"""
import argparse
import base64
import os
import random
import statistics
import subprocess
import time

SECRET = "00" * 32
PLACEHOLDER = b"0" * 32


def start(path):
    helper = subprocess.Popen([path, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    helper.stdout.readline()
    helper.stdin.write(('{"cmd":"create_session_from_secret","secret":"%s"}\n' % SECRET).encode())
    reply = helper.stdout.readline()
    return helper, reply.split(b'"sessionId":"')[1][:32]


def call(helper, request, reply_buffer):
    """Sends `request` and reads the one-line reply; returns the seconds taken."""
    view = memoryview(request)
    into = memoryview(reply_buffer)
    started = time.perf_counter()
    sent = 0
    while sent < len(request):
        sent += os.write(helper.stdin.fileno(), view[sent:])
    received = 0
    while True:
        n = os.readv(helper.stdout.fileno(), [into[received:]])
        if n <= 0:
            raise SystemExit("the helper ended its output")
        received += n
        if reply_buffer[received - 1] == 0x0A:
            return time.perf_counter() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--quiet", type=float, default=0.0)
    parser.add_argument("helpers", nargs="+")
    options = parser.parse_args()

    text = base64.b64encode(os.urandom(64 << 20))
    request = bytearray(b'{"id":3,"cmd":"encrypt_bytes","sessionId":"' + PLACEHOLDER + b'","data":"' + text + b'"}\n')
    at = request.index(PLACEHOLDER)
    # Room for the reply: the sealed payload, each '/' of its base64 escaped (one in 64 on average).
    reply_buffer = bytearray(len(request) + len(request) // 16 + (1 << 20))
    # Send the line once, so no timed send is this process's first copy of it.
    helper, session = start(options.helpers[0])
    request[at:at + 32] = session
    call(helper, request, reply_buffer)
    helper.stdin.close()
    helper.wait()

    first = {path: [] for path in options.helpers}
    warm = {path: [] for path in options.helpers}
    for _ in range(options.rounds):
        order = list(options.helpers)
        random.shuffle(order)
        for path in order:
            time.sleep(options.quiet)
            helper, session = start(path)
            request[at:at + 32] = session
            first[path].append(call(helper, request, reply_buffer))
            warm[path].append(min(call(helper, request, reply_buffer) for _ in range(2)))
            helper.stdin.close()
            helper.wait()
    for path in options.helpers:
        f, w = statistics.median(first[path]), statistics.median(warm[path])
        runs = " ".join("%.0f" % (t * 1e3) for t in first[path])
        print(f"{path}: first {f * 1e3:.1f} ms, warm {w * 1e3:.1f} ms, first / warm {f / w:.2f}x (first requests, ms: {runs})")


if __name__ == "__main__":
    main()
