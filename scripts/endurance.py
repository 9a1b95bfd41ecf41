#!/usr/bin/python3
"""Endurance run: drives one `quorvane-helper --serve` process through a long mix of requests and
watches its resident memory.

The mix opens and locks sessions (new keys, given keys, password-wrapped keys into full and
capture sessions), encrypts and decrypts lines, byte payloads (a few of them a megabyte) and
state lines, and sends bad lines of every kind. Every reply is checked: its id, whether it
succeeded, and that decrypted data equals what was encrypted. VmRSS is read from /proc after each
batch; the run reports it after the warm-up and at the end, and fails when it grew by more than
--max-growth-kb.

Not part of the test suite (it takes minutes). Usage:
    scripts/endurance.py build/quorvane-helper [--requests 1000000] [--max-growth-kb 1024]
"""
import argparse
import base64
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

BATCH = 256
LIVE_SESSIONS = 64  # the pool the mix keeps open


class Helper:
    def __init__(self, path, data_home):
        env = dict(os.environ, XDG_DATA_HOME=data_home)
        self.process = subprocess.Popen([path, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env, bufsize=1 << 20)
        ready = self.process.stdout.readline()
        if ready != b'{"ready":true}\n':
            raise SystemExit("no readiness line: %r" % ready)

    def exchange(self, lines):
        """Writes the lines from a thread (so a full pipe cannot deadlock) and reads one reply each."""
        payload = b"".join(line + b"\n" for line in lines)

        def write():
            self.process.stdin.write(payload)
            self.process.stdin.flush()

        writer = threading.Thread(target=write)
        writer.start()
        replies = [self.process.stdout.readline() for _ in lines]
        writer.join()
        for reply in replies:
            if not reply.endswith(b"\n"):
                raise SystemExit("the helper stopped answering")
        return [json.loads(reply) for reply in replies]

    def status(self):
        fields = {}
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                name, _, value = line.partition(":")
                fields[name] = value.strip()
        return fields

    def close(self):
        self.process.stdin.close()
        return self.process.wait()


def kb(field):
    return int(field.split()[0])


class Mix:
    """Builds one batch of requests from what earlier batches established, and checks replies."""

    def __init__(self, seed):
        self.random = random.Random(seed)
        self.sessions = {}  # id -> (key, mode)
        self.sealed = []    # (session id, kind, ciphertext, plaintext) waiting to be decrypted
        self.next_id = 1
        self.counts = {}

    def text(self):
        alphabet = "abcdefghij KLMNOP 0123456789 /\\\"\u00e9\u4e2d\U0001f600\t"
        return "".join(self.random.choice(alphabet) for _ in range(self.random.randint(0, 80)))

    def session(self, full_only=False):
        ids = [i for i, (_, mode) in self.sessions.items() if mode == "full" or not full_only]
        return self.random.choice(ids) if ids else None

    def request(self, cmd, expect, check=None, **members):
        request_id = self.next_id
        self.next_id += 1
        body = dict(members, id=request_id, cmd=cmd)
        line = json.dumps(body, ensure_ascii=self.random.random() < 0.5, separators=(",", ":")).encode()
        return line, (request_id, cmd, expect, check)

    def raw(self, line, error):
        # Lines that are not requests are answered with id 0.
        return line, (0, "bad line", False, lambda reply: reply["error"] == error)

    def batch(self):
        items = []
        for _ in range(BATCH):
            items.append(self.pick())
        return items

    def pick(self):
        r = self.random.random()
        full = self.session(full_only=True)
        any_session = self.session()
        if len(self.sessions) < LIVE_SESSIONS and r < 0.12 or not any_session or not full:
            return self.open_session()
        if r < 0.12:
            return self.lock(self.random.choice(list(self.sessions)))
        if r < 0.27:
            lines = [self.text() for _ in range(self.random.randint(0, 5))]
            key = self.sessions[any_session][0]
            return self.request("encrypt_lines", True, self.remember(any_session, "lines", lines, key),
                                sessionId=any_session, lines=lines)
        if r < 0.42:
            return self.decrypt("lines")
        if r < 0.50:
            size = 1 << 20 if self.random.random() < 0.002 else self.random.randint(0, 4096)
            data = self.random.randbytes(size)
            key = self.sessions[any_session][0]
            return self.request("encrypt_bytes", True, self.remember(any_session, "bytes", data, key),
                                sessionId=any_session, data=base64.b64encode(data).decode())
        if r < 0.58:
            return self.decrypt("bytes")
        if r < 0.63:
            line = self.text()
            vault_key = self.sessions[any_session][0]
            key = hashlib.sha256(b"quorvane-state-v1" + vault_key).digest() if vault_key else None
            return self.request("encrypt_state", True, self.remember(any_session, "state", line, key),
                                sessionId=any_session, line=line)
        if r < 0.68:
            return self.decrypt("state")
        return self.bad(full, any_session)

    def open_session(self):
        r = self.random.random()
        key = self.random.randbytes(32)
        if r < 0.4:
            return self.request("create_session_from_secret", True, self.opened(key, "full"), secret=key.hex())
        if r < 0.5:
            return self.request("create_session", True, self.opened(None, "full"))
        password = self.text()
        salt = self.random.randbytes(8).hex()
        wrap_key = hashlib.pbkdf2_hmac("sha256", password.encode(), bytes.fromhex(salt), 1, 32)
        blob = base64.b64encode(seal(key, wrap_key)).decode()
        capture = r < 0.7
        cmd = "unwrap_secret_capture" if capture else "unwrap_secret"
        return self.request(cmd, True, self.opened(key, "capture" if capture else "full"),
                            secret=password, salt=salt, blob=blob, iterations=1)

    def opened(self, key, mode):
        def check(reply):
            # A session from a new random key has a key this side never sees: it is only used
            # for requests that need no key here (it is locked or used for bad requests).
            self.sessions[reply["sessionId"]] = (key if key is not None else b"", mode)
            return len(reply["sessionId"]) == 32
        return check

    def lock(self, session_id):
        del self.sessions[session_id]
        self.sealed = [s for s in self.sealed if s[0] != session_id]
        return self.request("lock_session", True, None, sessionId=session_id)

    def remember(self, session_id, kind, plaintext, key):
        def check(reply):
            if session_id not in self.sessions:
                return True
            if kind == "lines":
                for line, ciphertext in zip(plaintext, reply["lines"]):
                    self.sealed.append((session_id, kind, ciphertext, line))
                return len(reply["lines"]) == len(plaintext)
            text = reply["data"] if kind == "bytes" else reply["line"]
            if key:  # the same envelope opens with an independent AES-GCM
                opened = open_envelope(base64.b64decode(text), key)
                if opened != (plaintext if kind == "bytes" else plaintext.encode()):
                    return False
            # Megabyte payloads are checked here and not kept for decryption.
            if kind != "bytes" or len(plaintext) < 65536:
                self.sealed.append((session_id, kind, text, plaintext))
            return True
        return check

    def decrypt(self, kind):
        waiting = [i for i, s in enumerate(self.sealed) if s[1] == kind]
        if not waiting:
            return self.bad(self.session(True), self.session())
        session_id, _, ciphertext, plaintext = self.sealed.pop(self.random.choice(waiting))
        mode = self.sessions[session_id][1]
        expect = kind == "state" or mode == "full"
        if kind == "lines":
            check = (lambda reply: reply["lines"] == [plaintext]) if expect else capture_only
            return self.request("decrypt_lines", expect, check, sessionId=session_id, lines=[ciphertext])
        if kind == "bytes":
            check = (lambda reply: base64.b64decode(reply["data"]) == plaintext) if expect else capture_only
            return self.request("decrypt_bytes", expect, check, sessionId=session_id, data=ciphertext)
        return self.request("decrypt_state", True, lambda reply: reply["line"] == plaintext,
                            sessionId=session_id, line=ciphertext)

    def bad(self, full, any_session):
        choice = self.random.randrange(9)
        if choice == 0:
            return self.raw(self.random.choice([b"", b"[]", b"\"x\"", b"{", b"nul", b"{\"cmd\":}", b"\xff\xfe"]),
                            "invalid json request")
        if choice == 1:
            return self.request("Shutdown", False, lambda reply: reply["error"] == "unknown command: Shutdown")
        if choice == 2:
            return self.request("encrypt_lines", False, lambda r: r["error"] == "encrypt_lines missing parameters",
                                sessionId=any_session, lines=[1])
        if choice == 3:
            return self.request("decrypt_bytes", False, lambda r: r["error"] == "invalid base64 data",
                                sessionId=full, data="no base64")
        if choice == 4:
            return self.request("decrypt_lines", False, lambda r: r["error"] == "vault session missing",
                                sessionId=self.random.randbytes(16).hex(), lines=[])
        if choice == 5:
            return self.request("create_session_from_secret", False,
                                lambda r: r["error"] == "create_session_from_secret missing or invalid secret",
                                secret=self.random.randbytes(31).hex())
        if choice == 6:
            return self.request("decrypt_state", False, lambda r: r["error"] == "ciphertext too short",
                                sessionId=any_session, line="AAAA")
        if choice == 7:
            return self.request("unwrap_secret", False, lambda r: r["error"] == "invalid wrapped blob",
                                secret="x", salt="00", blob="not base64")
        return self.request("lock_session", True, None, sessionId=self.random.randbytes(16).hex())

    def check(self, items, replies):
        for (line, (request_id, cmd, expect, check)), reply in zip(items, replies):
            self.counts[cmd] = self.counts.get(cmd, 0) + 1
            if reply.get("id") != request_id or reply.get("ok") != expect or (check and not check(reply)):
                raise SystemExit("unexpected reply to %s\n request: %.300r\n reply: %.300r" % (cmd, line, reply))


def capture_only(reply):
    return reply["error"] == "vault session is capture-only"


def seal(plaintext, key):
    nonce = os.urandom(12)
    sealed = AESGCM(key).encrypt(nonce, plaintext, None)
    return nonce + sealed[-16:] + sealed[:-16]


def open_envelope(envelope, key):
    return AESGCM(key).decrypt(envelope[:12], envelope[28:] + envelope[12:28], None)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("helper")
    parser.add_argument("--requests", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=float, default=0.1, help="share of the run before the baseline")
    parser.add_argument("--max-growth-kb", type=int, default=1024)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as data_home:
        helper = Helper(args.helper, data_home)
        mix = Mix(args.seed)
        started = time.monotonic()
        sent = 0
        baseline = None
        samples = []
        while sent < args.requests:
            items = mix.batch()
            mix.check(items, helper.exchange([line for line, _ in items]))
            sent += len(items)
            rss = kb(helper.status()["VmRSS"])
            samples.append((sent, rss))
            if baseline is None and sent >= args.requests * args.warmup:
                baseline = rss
                print("after warm-up (%d requests): VmRSS %d kB" % (sent, rss), flush=True)
            if sent % 100_000 < BATCH:
                print("%8d requests  VmRSS %6d kB  %.0f s" % (sent, rss, time.monotonic() - started), flush=True)
        status = helper.status()
        exit_status = helper.close()

    final = samples[-1][1]
    after = [rss for count, rss in samples if count >= args.requests * args.warmup]
    print("requests: %d in %.0f s, %d sessions open at the end" % (sent, time.monotonic() - started, len(mix.sessions)))
    print("mix: " + ", ".join("%s %d" % item for item in sorted(mix.counts.items())))
    print("VmRSS after warm-up %d kB, at the end %d kB (min %d, max %d after warm-up); VmHWM %s; VmLck %s"
          % (baseline, final, min(after), max(after), status["VmHWM"], status["VmLck"]))
    print("exit status %d" % exit_status)
    growth = final - baseline
    if exit_status != 0 or growth > args.max_growth_kb:
        print("FAILED: resident memory grew by %d kB" % growth if growth > args.max_growth_kb else "FAILED")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
