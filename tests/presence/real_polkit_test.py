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
import re
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


def agents_serving(pid):
    """The pkttyagent processes that answer for the process `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
        except (OSError, ValueError):
            continue
        if arguments[0].endswith(b"pkttyagent") and str(pid).encode() in arguments:
            found.append(int(entry))
    return found


def set_own_name(name):
    with open("/proc/self/comm", "w") as comm:
        comm.write(name)


def read_children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as children:
            return [int(child) for child in children.read().split()]
    except OSError:
        return []


def running(pid):
    """Whether `pid` is a process that has not ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
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
        run = '"$0" "$@" <&3 >&4 3<&- 4<&-'
        if agent:
            script = "pkttyagent --process $$ 3<&- 4<&- & sleep 1; exec " + run
        else:
            # The shell stays after the helper, as a terminal's shell does, leading the
            # terminal's session, so the terminal is not hung up when the helper ends: it says
            # how the helper ended and waits for the next line typed, as a prompt would.
            script = run + '; status=$?; exec 3<&- 4<&-; echo "helper exited with $status"; read next'
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
        self.reaped = False
        self.agent = agent

    @property
    def helper_pid(self):
        """The helper's process: the session's own, or the staying shell's child."""
        if self.agent:
            return self.pid
        wait_until(lambda: read_children(self.pid), "the shell to start the helper")
        return read_children(self.pid)[0]

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
        """Waits until the agent asks for the password (typing earlier would be flushed);
        returns what the terminal showed."""
        deadline = time.monotonic() + timeout
        while b"Password:" not in self.screen or self.echoing():
            if time.monotonic() >= deadline:
                raise AssertionError("no password prompt; the terminal shows: %r" % self.screen)
            self.pump(deadline, [self.terminal])
        shown, self.screen = self.screen, b""
        return shown

    def echoing(self):
        # The agent turns echo off after writing its prompt, flushing what was typed before.
        return bool(termios.tcgetattr(self.terminal)[3] & termios.ECHO)

    def type(self, text, end="\n"):
        os.write(self.terminal, (text + end).encode())

    def output_ends(self, timeout):
        """Whether the helper's standard output reaches end of file: nobody holds it open."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.stdout], [], [], 0.2)
            if ready and not os.read(self.stdout, 4096):
                return True
        return False

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
            if self.agent:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
                if pid:
                    self.reaped = True
                    self.status = os.waitstatus_to_exitcode(status)
                    return self.status
            else:
                ended = re.search(rb"helper exited with (\d+)", self.screen)
                if ended:
                    self.status = int(ended.group(1))
                    return self.status
            self.pump(time.monotonic() + 0.1, [self.terminal, self.stdout])
        return None

    def close(self):
        if not self.reaped:
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

    def test_without_an_agent_the_helper_asks_on_its_own_terminal(self):
        # Run from a terminal, the bare prompt starts polkit's text agent there for itself.
        prompt = self.session([], agent=False)
        prompt.wait_for_prompt()
        prompt.type(PASSWORD)
        self.assertEqual(prompt.wait(timeout=60), 0)
        # So does the serving helper. It keeps its agent for the next prompt, and starts a new
        # one after the person ended the agent with Ctrl-D.
        helper, blob = self.wrapped_vault(agent=False)
        for number, (typed, opened) in enumerate(
                ((PASSWORD + "\n", True), ("\x04", False), (PASSWORD + "\n", True)), 3):
            with self.subTest(typed=typed):
                helper.send({"cmd": "unwrap_touchid", "id": number, "blob": blob})
                helper.wait_for_prompt()
                helper.type(typed, end="")
                reply = helper.read_line()
                self.assertEqual(reply.get("ok"), opened, reply)
        agents = agents_serving(helper.helper_pid)
        self.assertEqual(len(agents), 1)
        # Kept between prompts, it still goes with the helper.
        helper.send({"cmd": "shutdown", "id": 6})
        self.assertTrue(helper.read_line().get("ok"))
        helper.send({"cmd": "ended by the shutdown before it", "id": 7})
        self.assertEqual(helper.wait(timeout=30), 0)
        self.assertTrue(helper.output_ends(timeout=10))
        wait_until(lambda: not any(running(agent) for agent in agents), "the agent to end", 10)
        # Without a terminal there is nowhere to ask: both fail at once.
        result = as_user(["setsid", "--wait", self.world.helper], env=self.world.environment(),
                         timeout=30, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1, result)
        request = json.dumps({"cmd": "unwrap_touchid", "id": 1, "blob": blob}) + "\n"
        result = as_user(["setsid", "--wait", self.world.helper, "--serve"],
                         env=self.world.environment(), timeout=60, capture_output=True,
                         text=True, input=request)
        self.assertEqual(result.stdout.splitlines()[-1], json.dumps(
            {"id": 1, "ok": False,
             "error": "secure enclave unwrap failed: no polkit authentication agent is available"},
            separators=(",", ":")))

    def test_the_helpers_own_agent_ends_with_it(self):
        # However the helper ends in the middle of a prompt, its agent goes too, the
        # application's end of the output reaches end of file, and the terminal echoes again.
        endings = {
            "input closed": lambda helper: helper.hang_up(),
            "SIGTERM": lambda helper: os.kill(helper.helper_pid, signal.SIGTERM),
            "SIGKILL": lambda helper: os.kill(helper.helper_pid, signal.SIGKILL),
        }
        for ending, end in endings.items():
            with self.subTest(ending=ending):
                helper, blob = self.wrapped_vault(agent=False)
                helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
                helper.wait_for_prompt()
                agents = agents_serving(helper.helper_pid)
                self.assertEqual(len(agents), 1)
                end(helper)
                self.assertIsNotNone(helper.wait(timeout=30))
                self.assertTrue(helper.output_ends(timeout=10))
                wait_until(lambda: not any(running(agent) for agent in agents),
                           "the helper's agent to end", seconds=10)
                # Given back once the agent has ended, so a moment after it is gone.
                wait_until(helper.echoing, "the terminal to echo again", seconds=10)

    # Whether the dialog names the program that runs the helper: only the action's owner (the
    # key service) may give polkit a message; the helper's own checks show the policy file's.
    names_the_program = False

    def test_the_prompt_says_who_asks(self):
        # The helper's parent is this script; its name is what the kernel says, which a program
        # may set to anything, control characters included.
        with open("/proc/self/comm") as comm:
            own_name = comm.read().rstrip("\n")
        self.addCleanup(set_own_name, own_name)
        for name, shown in (("vault-app", b"vault-app"), ("app\n\x1b[1A", b"app??[1A")):
            with self.subTest(name=name):
                set_own_name(name)
                helper, blob = self.wrapped_vault()
                helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
                screen = helper.wait_for_prompt()
                if self.names_the_program:
                    self.assertIn(b"Unlock Quorvane vault (asked by " + shown + b")\r\n", screen)
                else:
                    self.assertIn(b"Unlock Quorvane vault\r\n", screen)
                    self.assertNotIn(b"asked by", screen)
                helper.type(PASSWORD)
                self.assertTrue(helper.read_line().get("ok"))

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
