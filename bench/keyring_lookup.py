#!/usr/bin/env python3
"""A one-shot `--secret-load` from the desktop keyring against `secret-tool lookup`, side by side.

Starts a private session bus and, on it, gnome-keyring-daemon with its login keyring created and
unlocked (as PAM does at login), stores one secret with `secret-tool store`, then times both
commands reading it back with hyperfine (same keyring, same bus, interleaved warm-up). Prints
hyperfine's table and the ratio of the means; everything started is stopped at the end.

Usage: bench/keyring_lookup.py [--runs N] <helper>
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SERVICE = "bench-keyring-lookup"
ACCOUNT = "one"
VALUE = "correct horse battery staple"
LOGIN = "/org/freedesktop/secrets/collection/login"
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path={socket}</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def wait_until(ready, what, limit=30.0):
    deadline = time.monotonic() + limit
    while not ready():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("helper")
    options = parser.parse_args()
    helper = os.path.abspath(options.helper)
    for tool in ("hyperfine", "secret-tool", "gnome-keyring-daemon", "dbus-daemon", "dbus-send"):
        if shutil.which(tool) is None:
            sys.exit(tool + " is missing (scripts/install-deps.sh installs it)")

    started = []
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as directory:
        try:
            home = os.path.join(directory, "home")
            runtime = os.path.join(directory, "runtime")
            os.makedirs(os.path.join(home, ".local", "share"))
            os.mkdir(runtime, 0o700)
            environment = {name: value for name, value in os.environ.items()
                           if not name.startswith(("DBUS_", "XDG_", "LC_", "LANG"))}
            # secret-tool converts its output to the locale's character set.
            environment.update(HOME=home, XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                               XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8")

            log = open(os.path.join(directory, "daemons.log"), "wb")
            # A bus that starts nothing by itself: the desktop's own service file would start a
            # second keyring beside the one started here.
            config = os.path.join(directory, "session.conf")
            with open(config, "w") as handle:
                handle.write(BUS_CONFIG.format(socket=os.path.join(directory, "bus")))
            bus = subprocess.Popen(
                ["dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + config],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, env=environment)
            started.append(bus)
            # The daemon prints its address once it accepts connections.
            address = bus.stdout.readline().decode().strip()
            if not address:
                raise RuntimeError("dbus-daemon did not start")
            environment["DBUS_SESSION_BUS_ADDRESS"] = address

            keyring = subprocess.Popen(
                ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                stdin=subprocess.PIPE, stdout=log, stderr=log, env=environment)
            started.append(keyring)
            keyring.stdin.write(b"bench-login-password")
            keyring.stdin.close()

            def login_keyring_ready():
                alias = subprocess.run(
                    ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
                     "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.ReadAlias",
                     "string:default"], capture_output=True, env=environment)
                return LOGIN.encode() in alias.stdout
            wait_until(login_keyring_ready, "the login keyring")

            subprocess.run(["secret-tool", "store", "--label=bench", "service", SERVICE,
                            "account", ACCOUNT], input=VALUE.encode(), check=True, env=environment)
            for command in ([helper, "--secret-load", "--service", SERVICE, "--account", ACCOUNT],
                            ["secret-tool", "lookup", "service", SERVICE, "account", ACCOUNT]):
                read = subprocess.run(command, capture_output=True, env=environment)
                if read.returncode != 0 or read.stdout.decode().rstrip("\n") != VALUE:
                    raise RuntimeError(" ".join(command[:2]) + " did not read the secret back: " +
                                       read.stderr.decode())

            results = os.path.join(directory, "hyperfine.json")
            subprocess.run(
                ["hyperfine", "-N", "--warmup", "5", "--runs", str(options.runs),
                 "--export-json", results,
                 "-n", "quorvane-helper --secret-load",
                 f"{helper} --secret-load --service {SERVICE} --account {ACCOUNT}",
                 "-n", "secret-tool lookup",
                 f"secret-tool lookup service {SERVICE} account {ACCOUNT}"],
                check=True, env=environment)
            with open(results) as handle:
                means = {r["command"]: r["mean"] for r in json.load(handle)["results"]}
            ratio = means["quorvane-helper --secret-load"] / means["secret-tool lookup"]
            print(f"--secret-load / secret-tool lookup: {ratio:.2f}x")
        finally:
            for process in reversed(started):
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


if __name__ == "__main__":
    main()
