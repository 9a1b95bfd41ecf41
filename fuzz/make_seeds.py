#!/usr/bin/python3
"""Writes the seed corpora under fuzz/corpus/<target>/, one file per seed.

The request-line seeds carry envelopes sealed under the key of the sessions the request_line
target prepares (bytes 00..1f), so the fuzzer starts from requests that succeed as well as from
ones that fail. Rerun after changing the seeds; the files are committed.
"""
import base64
import hashlib
import os
import struct
import sys

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

FULL = "00000000000000000000000000000001"
CAPTURE = "00000000000000000000000000000002"
KEY = bytes(range(32))
STATE_KEY = hashlib.sha256(b"quorvane-state-v1" + KEY).digest()


def seal(plaintext: bytes, key: bytes = KEY) -> str:
    nonce = bytes(12)
    sealed = AESGCM(key).encrypt(nonce, plaintext, None)  # ciphertext || tag
    return base64.b64encode(nonce + sealed[-16:] + sealed[:-16]).decode()


def wrapped(password: bytes, salt: bytes, iterations: int, vault_key: bytes) -> str:
    wrap_key = hashlib.pbkdf2_hmac("sha256", password, salt, iterations, 32)
    return seal(vault_key, wrap_key)


def request_lines():
    blob = wrapped(b"pw", bytes.fromhex("a1b2"), 1, KEY)
    short = wrapped(b"pw", bytes.fromhex("a1b2"), 1, KEY[:16])
    return {
        "create_session": '{"id":1,"cmd":"create_session"}',
        "create_from_secret": '{"id":2,"cmd":"create_session_from_secret","secret":"%s"}' % KEY.hex(),
        "create_from_signed_hex": '{"cmd":"create_session_from_secret","secret":"+0-0%s"}' % KEY.hex()[4:].upper(),
        "lock": '{"id":3,"cmd":"lock_session","sessionId":"%s"}' % FULL,
        "encrypt_lines": '{"id":4,"cmd":"encrypt_lines","sessionId":"%s","lines":["a","\\u00e9\\/\\n",""]}' % FULL,
        "decrypt_lines": '{"id":5,"cmd":"decrypt_lines","sessionId":"%s","lines":["%s","%s"]}'
        % (FULL, seal("line one".encode()), seal("caf\u00e9".encode())),
        "decrypt_lines_capture": '{"id":6,"cmd":"decrypt_lines","sessionId":"%s","lines":["%s"]}' % (CAPTURE, seal(b"x")),
        "encrypt_bytes": '{"id":7,"cmd":"encrypt_bytes","sessionId":"%s","data":"AAECAw=="}' % CAPTURE,
        "decrypt_bytes": '{"id":8,"cmd":"decrypt_bytes","sessionId":"%s","data":"%s"}' % (FULL, seal(bytes(range(256)))),
        "encrypt_state": '{"id":9,"cmd":"encrypt_state","sessionId":"%s","line":"state \\"q\\""}' % CAPTURE,
        "decrypt_state": '{"id":10,"cmd":"decrypt_state","sessionId":"%s","line":"%s"}' % (FULL, seal(b"{}", STATE_KEY)),
        "decrypt_state_bad_utf8": '{"cmd":"decrypt_state","sessionId":"%s","line":"%s"}' % (FULL, seal(b"\xff", STATE_KEY)),
        "unwrap_legacy": '{"id":11,"cmd":"unwrap_secret","secret":"pw","salt":"a1b2","blob":"%s","iterations":1}' % blob,
        "unwrap_capture_short_key": '{"cmd":"unwrap_secret_capture","secret":"pw","salt":"a1b2","blob":"%s","iterations":1.0}' % short,
        "unwrap_versioned": '{"cmd":"unwrap_secret","secret":"pw","salt":"pbkdf2:v2:1:a1b2","blob":"%s"}' % blob,
        "unwrap_bad_count": '{"cmd":"unwrap_secret","secret":"","salt":"pbkdf2:v2:-0:zz","blob":""}',
        "wrap_capture": '{"cmd":"wrap_secret","sessionId":"%s","secret":"pw"}' % CAPTURE,
        "wrap_touchid": '{"cmd":"wrap_touchid","sessionId":"%s"}' % FULL,
        "unwrap_touchid": '{"cmd":"unwrap_touchid","blob":"AQID"}',
        "reset_touchid": '{"cmd":"reset_touchid_key"}',
        "shutdown_then_more": '{"id":9,"cmd":"shutdown"}\n{"cmd":"create_session"}\n',
        "several_lines": '{"id":7.0,"cmd":"lock_session","sessionId":""}\r\n[]\n\n"x"\n{}\n{"cmd":"Shutdown"}',
        "duplicate_members": '{"cmd":"encrypt_lines","cmd":"decrypt_lines","sessionId":"%s","lines":[1]}' % FULL,
        "large_id": '{"id":9223372036854775807,"cmd":"encrypt_state","sessionId":"%s","line":"\\ud83d\\ude00"}' % FULL,
        "escaped_command": '{"id":-1,"cmd":"\\u0063reate_session"}',
    }


def write(target: str, seeds: dict):
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, content in seeds.items():
        data = content if isinstance(content, bytes) else content.encode()
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def main():
    write("request_line", request_lines())
    write("hex", {"key": KEY.hex(), "upper": "DEADbeef", "signed": "+f-0+A", "odd": "abc",
                  "bad_pair": "0x", "non_ascii": "0\u00e9".encode(), "empty": b""})
    write("base64", {"one": "QQ==", "two": "QUI=", "three": "QUJD", "envelope": seal(b"payload"),
                     "bad_padding": "QQ=A", "space": "QU I=", "empty": b"", "bytes": bytes(range(40))})
    count = struct.pack("<q", 600000)
    write("wrap_salt", {"versioned": count + b"pbkdf2:v2:1200000:" + bytes(16).hex().encode(),
                        "legacy": count + b"a1b2c3", "negative": count + b"pbkdf2:v2:-5:00",
                        "huge": count + b"pbkdf2:v2:99999999999999999999:00",
                        "bad_salt": count + b"pbkdf2:v2:+7:0g", "five_fields": count + b"pbkdf2:v2:1:00:",
                        "upper_prefix": count + b"PBKDF2:v2:1:00"})
    write("arguments", {"secret_store": b"--secret-store\0--service\0s\0--account\0a",
                        "flag_as_value": b"--secret-load\0--service\0--account\0name",
                        "serve_check": b"--check\0--serve", "near_flags": b"--serve=1\0-serve\0--service",
                        "twice": b"--secret-delete\0--service\0a\0--service\0b\0--account\0\0"})
    return 0


if __name__ == "__main__":
    sys.exit(main())
