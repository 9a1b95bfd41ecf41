#!/usr/bin/python3
"""Interoperability of the helper's formats with independent implementations.

Envelopes, state lines and password-wrapped keys made by the helper must open under another
AES-256-GCM / SHA-256 / PBKDF2 implementation, and the reverse. Uses python3-cryptography and
hashlib, never the helper's own code.
"""
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HELPER = os.environ.get("QUORVANE_HELPER", "build/quorvane-helper")
KEY = bytes(range(32))
STATE_LABEL = b"quorvane-state-v1"


def seal(key, plaintext, nonce=None):
    nonce = nonce or os.urandom(12)
    sealed = AESGCM(key).encrypt(nonce, plaintext, None)  # ciphertext || tag
    return nonce + sealed[-16:] + sealed[:-16]


def open_envelope(key, envelope):
    nonce, tag, ciphertext = envelope[:12], envelope[12:28], envelope[28:]
    return AESGCM(key).decrypt(nonce, ciphertext + tag, None)


def b64(data):
    return base64.b64encode(data).decode()


class Helper:
    def __init__(self):
        self.home = tempfile.TemporaryDirectory()
        env = dict(os.environ, XDG_DATA_HOME=self.home.name)
        self.process = subprocess.Popen([HELPER, "--serve"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, env=env)
        assert json.loads(self.process.stdout.readline()) == {"ready": True}

    def call(self, **request):
        self.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def ok(self, **request):
        reply = self.call(**request)
        assert reply["ok"], reply
        return reply

    def close(self):
        self.process.stdin.close()
        assert self.process.wait(timeout=30) == 0
        self.process.stdout.close()
        self.home.cleanup()


class InteropTest(unittest.TestCase):
    def setUp(self):
        self.helper = Helper()
        self.sid = self.helper.ok(cmd="create_session_from_secret", secret=KEY.hex())["sessionId"]

    def tearDown(self):
        self.helper.close()

    def test_envelopes_open_both_ways(self):
        lines = ["", "plain", "h\u00e9llo \U0001F511"]
        sealed = self.helper.ok(cmd="encrypt_lines", sessionId=self.sid, lines=lines)["lines"]
        self.assertEqual([open_envelope(KEY, base64.b64decode(s)).decode() for s in sealed], lines)

        payload = bytes(range(256)) * 3
        data = self.helper.ok(cmd="encrypt_bytes", sessionId=self.sid, data=b64(payload))["data"]
        self.assertEqual(open_envelope(KEY, base64.b64decode(data)), payload)

        ours = [b64(seal(KEY, line.encode())) for line in lines]
        self.assertEqual(self.helper.ok(cmd="decrypt_lines", sessionId=self.sid, lines=ours)["lines"], lines)
        reply = self.helper.ok(cmd="decrypt_bytes", sessionId=self.sid, data=b64(seal(KEY, payload)))
        self.assertEqual(base64.b64decode(reply["data"]), payload)

    def test_bulk_payloads_open_both_ways(self):
        # Several MiB: the helper decodes these as the line arrives and sends the reply in pieces,
        # escaping every "/" of the base64 as "\/" as in any other string.
        payload = os.urandom(5 * 1024 * 1024 + 2)
        data = self.helper.ok(cmd="encrypt_bytes", sessionId=self.sid, data=b64(payload))["data"]
        self.assertEqual(open_envelope(KEY, base64.b64decode(data)), payload)
        request = {"id": 12, "cmd": "decrypt_bytes", "sessionId": self.sid, "data": b64(seal(KEY, payload))}
        self.helper.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.helper.process.stdin.flush()
        self.assertEqual(self.helper.process.stdout.readline(),
                         b'{"id":12,"ok":true,"data":"' + base64.b64encode(payload).replace(b"/", b"\\/")
                         + b'"}\n')

    def test_state_lines_use_sha256_of_label_and_key(self):
        state_key = hashlib.sha256(STATE_LABEL + KEY).digest()
        sealed = self.helper.ok(cmd="encrypt_state", sessionId=self.sid, line="state \u00e9")["line"]
        self.assertEqual(open_envelope(state_key, base64.b64decode(sealed)), "state \u00e9".encode())
        ours = b64(seal(state_key, b"from elsewhere"))
        self.assertEqual(self.helper.ok(cmd="decrypt_state", sessionId=self.sid, line=ours)["line"],
                         "from elsewhere")
        bad = self.helper.call(cmd="decrypt_state", sessionId=self.sid, line=b64(seal(state_key, b"\xff\xfe")))
        self.assertEqual(bad, {"id": 0, "ok": False, "error": "invalid utf8 plaintext"})

    def test_helper_wraps_open_elsewhere(self):
        reply = self.helper.ok(cmd="wrap_secret", sessionId=self.sid, secret="pass\u00e9 word")
        prefix, version, count, salt = reply["salt"].split(":")
        self.assertEqual((prefix, version, count, len(salt)), ("pbkdf2", "v2", "1200000", 32))
        self.assertEqual(reply["iterations"], 1200000)
        self.assertEqual(len(reply["blob"]), 80)
        wrap_key = hashlib.pbkdf2_hmac("sha256", "pass\u00e9 word".encode(), bytes.fromhex(salt), 1200000, 32)
        self.assertEqual(open_envelope(wrap_key, base64.b64decode(reply["blob"])), KEY)

    def test_foreign_wraps_open_in_the_helper(self):
        salt = os.urandom(16)

        def wrap(password, count, key=KEY):
            wrap_key = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, count, 32)
            return b64(seal(wrap_key, key))

        cases = [
            # (descriptor, iterations member or None, count used to wrap)
            ("pbkdf2:v2:1000:" + salt.hex(), None, 1000),
            ("pbkdf2:v2:1000:" + salt.hex(), 5, 1000),      # the descriptor's count wins
            ("pbkdf2:v2:+0001000:" + salt.hex().upper(), None, 1000),
            (salt.hex(), 1000, 1000),                        # legacy with a count
            (salt.hex(), "1000", 600000),                    # a string is no count
            (salt.hex(), None, 600000),                      # legacy default
        ]
        for descriptor, iterations, count in cases:
            with self.subTest(descriptor=descriptor, iterations=iterations):
                request = dict(cmd="unwrap_secret", secret="pw\u0000x", salt=descriptor, blob=wrap("pw\u0000x", count))
                if iterations is not None:
                    request["iterations"] = iterations
                sid = self.helper.ok(**request)["sessionId"]
                sealed = self.helper.ok(cmd="encrypt_lines", sessionId=sid, lines=["k"])["lines"][0]
                self.assertEqual(open_envelope(KEY, base64.b64decode(sealed)), b"k")

        short = self.helper.call(cmd="unwrap_secret", secret="pw", salt="pbkdf2:v2:1:" + salt.hex(),
                                 blob=b64(seal(hashlib.pbkdf2_hmac("sha256", b"pw", salt, 1, 32), bytes(16))))
        self.assertEqual(short["error"], "invalid vault key length")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        HELPER = sys.argv.pop(1)
    unittest.main(verbosity=2)
