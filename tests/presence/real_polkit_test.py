#!/usr/bin/python3
"""The presence prompt against the real polkit daemon and its text authentication agent.

Runs as root inside a private mount namespace, so nothing of the machine changes: copies of
/etc/passwd, /etc/shadow and /etc/group with a test user are mounted over the originals, the
helper's policy file over polkit's actions directory, empty directories over the rules
directories, and a tmpfs on /run/dbus, where a D-Bus system bus listens at the standard path.
polkitd serves that bus. The helper runs as the test user with no bus setting at all, as it would
on a desktop, and pkttyagent answers for it on a pseudo-terminal that this script types into.
The presence key lives in a software TPM (swtpm) owned by the test user.

Usage: real_polkit_test.py HELPER POLICY_FILE
Exits 77 (skipped) when not root, or when the mount namespace cannot be made (a build chroot
whose root is not a mount point), unless CI=true, where it must run.
"""
import json
import os
import pty
import select
import shutil
import socket
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

USER, UID = "qvpresence", 4242
PASSWORD = "correct horse"
ACTION = "com.quorvane.helper.unlock"
BUS_SOCKET = "/run/dbus/system_bus_socket"
SKIP = 77

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
"""

REFUSING_RULE = """polkit.addRule(function(action, subject) {
    if (action.id == "%s" && subject.user == "%s") return polkit.Result.NO;
});
""" % (ACTION, USER)


class World:
    """The namespace's users, bus, polkitd and swtpm; set up once for all cases."""

    # name, uid; each gets a group of the same number and the password PASSWORD.
    users = [(USER, UID)]

    def __init__(self, helper, policy):
        self.dir = tempfile.mkdtemp(prefix="quorvane-polkit-")
        os.chmod(self.dir, 0o755)  # the test user must reach the helper and its own files
        self.processes = []
        self.helper = os.path.join(self.dir, "quorvane-helper")
        shutil.copy(helper, self.helper)
        os.chmod(self.helper, 0o755)
        self.home = self.own_dir("home")
        self.tpm = self.own_dir("tpm")
        self.rules = os.path.join(self.dir, "rules")
        os.mkdir(self.rules, 0o755)
        self.add_user()
        self.install_policy(policy)
        self.start_bus()
        self.start_polkit()
        self.start_swtpm()

    def own_dir(self, name, uid=UID):
        path = os.path.join(self.dir, name)
        os.mkdir(path, 0o700)
        os.chown(path, uid, uid)
        return path

    def bind(self, source, target):
        subprocess.run(["mount", "--bind", source, target], check=True)

    def add_user(self):
        digest = subprocess.run(["openssl", "passwd", "-6", PASSWORD], check=True,
                                capture_output=True, text=True).stdout.strip()
        lines = {"passwd": "", "shadow": "", "group": ""}
        for name, uid in self.users:
            home = self.home if uid == UID else "/nonexistent"
            lines["passwd"] += "%s:x:%d:%d:presence test:%s:/bin/sh\n" % (name, uid, uid, home)
            lines["shadow"] += "%s:%s:19000:0:99999:7:::\n" % (name, digest)
            lines["group"] += "%s:x:%d:\n" % (name, uid)
        for name, line in lines.items():
            copy = os.path.join(self.dir, name)
            with open("/etc/" + name) as original, open(copy, "w") as out:
                out.write(original.read() + line)
            os.chmod(copy, 0o640 if name == "shadow" else 0o644)
            self.bind(copy, "/etc/" + name)

    def install_policy(self, policy):
        actions = os.path.join(self.dir, "actions")
        os.mkdir(actions, 0o755)
        shutil.copy(policy, actions)
        self.bind(actions, "/usr/share/polkit-1/actions")
        for rules in ("/etc/polkit-1/rules.d", "/usr/share/polkit-1/rules.d"):
            if os.path.isdir(rules):
                self.bind(self.rules, rules)

    def start_bus(self):
        os.makedirs("/run/dbus", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run/dbus"],
                       check=True)
        config = os.path.join(self.dir, "system.conf")
        with open(config, "w") as out:
            out.write(BUS_CONFIG)
        self.spawn(["dbus-daemon", "--nofork", "--config-file=" + config])
        wait_until(lambda: accepts(BUS_SOCKET), "the system bus to listen")

    def start_polkit(self):
        self.spawn(["/usr/lib/polkit-1/polkitd", "--no-debug"])
        wait_until(lambda: subprocess.run(
            ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.PolicyKit1",
             "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Peer.Ping"],
            capture_output=True).returncode == 0, "polkitd to answer")

    def start_swtpm(self):
        d = self.tpm
        as_user(["swtpm", "socket", "--tpm2", "--tpmstate", "dir=" + d,
                 "--server", "type=unixio,path=%s/sock" % d,
                 "--ctrl", "type=unixio,path=%s/sock.ctrl" % d,
                 "--flags", "not-need-init,startup-clear", "--pid", "file=%s/pid" % d,
                 "--daemon"], check=True)
        wait_until(lambda: accepts(d + "/sock") and os.path.exists(d + "/pid"),
                   "swtpm to listen")

    def spawn(self, command):
        self.processes.append(subprocess.Popen(command, stdin=subprocess.DEVNULL))

    def environment(self):
        # Deliberately no bus address: the helper must find the system bus at its standard path.
        return {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.home, "data"),
            "QUORVANE_TEST_TPM_TCTI": "swtpm:path=%s/sock" % self.tpm,
            "LANG": "C",
        }

    def run(self, arguments, timeout=60, uid=UID, input=None, env=None):
        return as_user([self.helper] + arguments, uid=uid, env=env or self.environment(),
                       timeout=timeout, capture_output=True, text=True, input=input,
                       stdin=None if input is not None else subprocess.DEVNULL)

    def refuse(self, refusing):
        path = os.path.join(self.rules, "10-refuse-quorvane.rules")
        if refusing:
            with open(path, "w") as out:
                out.write(REFUSING_RULE)
        elif os.path.exists(path):
            os.remove(path)

    def close(self):
        try:
            with open(self.tpm + "/pid") as pid:
                os.kill(int(pid.read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        for process in reversed(self.processes):
            process.kill()
            process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def as_user(command, uid=UID, **options):
    return subprocess.run(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups",
                           "--"] + command, **options)


def accepts(path):
    """Whether something listens on the Unix socket `path`: its file appears before that."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(path)
            return True
        except OSError:
            return False


def wait_until(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for " + what)


class AgentSession:
    """The helper with pkttyagent answering for it on a pseudo-terminal.

    The shell starts the agent for its own process, then execs the helper, which keeps the
    process id the agent answers for. The helper's standard input and output are pipes held
    here, as the application holds them; the terminal is the agent's.
    """

    def __init__(self, world, arguments, agent=True):
        stdin_read, self.stdin = os.pipe()
        self.stdout, stdout_write = os.pipe()
        agent_part = "pkttyagent --process $$ 3<&- 4<&- & sleep 1; " if agent else ""
        script = agent_part + 'exec "$0" "$@" <&3 >&4 3<&- 4<&-'
        environment = world.environment()
        self.pid, self.terminal = pty.fork()
        if self.pid == 0:
            # Through fresh numbers first: either pipe end may already be 3 or 4.
            high_read, high_write = os.dup(stdin_read), os.dup(stdout_write)
            os.dup2(high_read, 3)
            os.dup2(high_write, 4)
            os.execvpe("setpriv", ["setpriv", "--reuid=%d" % UID, "--regid=%d" % UID,
                                   "--clear-groups", "--", "sh", "-c", script, world.helper]
                       + arguments, environment)
        os.close(stdin_read)
        os.close(stdout_write)
        self.screen = b""
        self.pending = b""
        self.status = None

    def send(self, request):
        os.write(self.stdin, json.dumps(request).encode() + b"\n")

    def read_line(self, timeout=60):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            self.pump(deadline, [self.stdout])
            if time.monotonic() >= deadline:
                raise AssertionError("no reply; the terminal shows: %r" % self.screen)
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def call(self, **request):
        self.send(request)
        return self.read_line()

    def wait_for_prompt(self, timeout=60):
        """Waits until the agent asks for the password (typing earlier would be flushed)."""
        deadline = time.monotonic() + timeout
        while b"Password:" not in self.screen or self.echoing():
            if time.monotonic() >= deadline:
                raise AssertionError("no password prompt; the terminal shows: %r" % self.screen)
            self.pump(deadline, [self.terminal])
        self.screen = b""

    def echoing(self):
        # The agent turns echo off after writing its prompt, flushing what was typed before.
        return bool(termios.tcgetattr(self.terminal)[3] & termios.ECHO)

    def type(self, text):
        os.write(self.terminal, text.encode() + b"\n")

    def pump(self, deadline, wanted):
        ready, _, _ = select.select([self.terminal, self.stdout], [], [],
                                    max(0.0, min(0.2, deadline - time.monotonic())))
        for fd in ready:
            try:
                data = os.read(fd, 4096)
            except OSError:  # the terminal's other side is gone
                data = b""
            if fd == self.terminal:
                self.screen += data
            else:
                self.pending += data

    def hang_up(self):
        os.close(self.stdin)
        self.stdin = None

    def wait(self, timeout):
        """Returns the exit status, or None when the helper is still running after timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
                return self.status
            self.pump(time.monotonic() + 0.1, [self.terminal, self.stdout])
        return None

    def close(self):
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        for fd in (self.stdin, self.stdout, self.terminal):
            if fd is not None:
                os.close(fd)


class RealPolkit(unittest.TestCase):
    world = None

    @classmethod
    def setUpClass(cls):
        cls.world = World(sys.argv[1], sys.argv[2])

    @classmethod
    def tearDownClass(cls):
        cls.world.close()

    def session(self, arguments, agent=True):
        session = AgentSession(self.world, arguments, agent)
        self.addCleanup(session.close)
        return session

    def wrapped_vault(self, agent=True):
        """A serving helper with a full session and its vault key wrapped to the TPM key."""
        helper = self.session(["--serve"], agent)
        self.assertEqual(helper.read_line(), {"ready": True})
        session = helper.call(cmd="create_session", id=1)["sessionId"]
        reply = helper.call(cmd="wrap_touchid", id=2, sessionId=session)
        self.assertTrue(reply["ok"], reply)
        return helper, reply["blob"]

    def test_check_is_ok_with_the_policy_installed(self):
        result = self.world.run(["--check"])
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "ok", ""))

    def test_right_password_opens_and_wrong_password_refuses(self):
        helper, blob = self.wrapped_vault()
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        helper.type(PASSWORD)
        reply = helper.read_line()
        self.assertTrue(reply.get("ok"), reply)
        self.assertIn("sessionId", reply)

        helper.send({"cmd": "unwrap_touchid", "id": 4, "blob": blob})
        helper.wait_for_prompt()
        helper.type("not the password")
        self.assertEqual(helper.read_line(),
                         {"id": 4, "ok": False,
                          "error": "secure enclave unwrap failed: user presence was not confirmed"})

    def test_bare_prompt_passes_with_the_password_and_fails_without(self):
        for typed, status in ((PASSWORD, 0), ("wrong", 1)):
            with self.subTest(typed=typed):
                prompt = self.session([])
                prompt.wait_for_prompt()
                prompt.type(typed)
                self.assertEqual(prompt.wait(timeout=60), status)

    def test_without_an_agent_only_the_bare_prompt_on_a_terminal_asks(self):
        # Run from a terminal, the bare prompt starts polkit's text agent there for itself.
        prompt = self.session([], agent=False)
        prompt.wait_for_prompt()
        prompt.type(PASSWORD)
        self.assertEqual(prompt.wait(timeout=60), 0)
        # Without a terminal there is nowhere to ask: it fails at once.
        result = as_user(["setsid", "--wait", self.world.helper], env=self.world.environment(),
                         timeout=30, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1, result)
        # The application's requests never get a prompt it did not arrange for.
        helper, blob = self.wrapped_vault(agent=False)
        reply = helper.call(cmd="unwrap_touchid", id=3, blob=blob)
        self.assertEqual(reply["error"],
                         "secure enclave unwrap failed: no polkit authentication agent is available")

    def test_the_application_going_away_ends_the_open_prompt(self):
        helper, blob = self.wrapped_vault()
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        helper.hang_up()
        # polkit's own limit is minutes; a helper that only noticed at its next read would sit
        # here until then with the dialog open.
        self.assertEqual(helper.wait(timeout=30), 0)

    def test_check_reports_a_rule_that_refuses_the_user(self):
        self.world.refuse(True)
        self.addCleanup(self.world.refuse, False)
        # polkitd reloads its rules when the directory changes.
        deadline = time.monotonic() + 30
        while True:
            result = self.world.run(["--check"])
            if result.returncode != 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(result.returncode, 3, result)
        self.assertEqual(result.stdout, "")
        self.assertTrue(result.stderr.startswith("unavailable: "), result.stderr)


def main(script=__file__, tools=()):
    """Runs the script's cases as root in a private mount namespace; its arguments are paths."""
    if sys.argv[-1] == "--inside":
        del sys.argv[-1]
        unittest.main(argv=sys.argv[:1], verbosity=2)
    if os.geteuid() != 0:
        if os.environ.get("CI") == "true":
            sys.exit("the real-polkit test needs root (CI runs as root)")
        print("skipped: the real-polkit test needs root for its mount namespace")
        sys.exit(SKIP)
    for tool in ("/usr/lib/polkit-1/polkitd", "/usr/bin/pkttyagent", "/usr/bin/swtpm",
                 "/usr/bin/dbus-daemon", "/usr/bin/setpriv", "/usr/bin/unshare") + tuple(tools):
        if not os.path.exists(tool):
            sys.exit(tool + " is missing; scripts/install-deps.sh installs it")
    # Distribution build chroots often cannot make a private mount namespace; say so and skip
    # there rather than fail, except under CI, where the namespace is part of the test.
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        reason = probe.stderr.strip() or f"unshare exited with {probe.returncode}"
        if os.environ.get("CI") == "true":
            sys.exit("the real-polkit test cannot make its mount namespace: " + reason)
        print("skipped: the real-polkit test cannot make its mount namespace: " + reason)
        sys.exit(SKIP)
    os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable,
                          os.path.abspath(script)]
              + [os.path.abspath(argument) for argument in sys.argv[1:]] + ["--inside"])


if __name__ == "__main__":
    main()
