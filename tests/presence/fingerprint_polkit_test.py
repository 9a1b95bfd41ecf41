#!/usr/bin/python3
"""A fingerprint confirms the presence prompt: the real fprintd, polkitd and pkttyagent.

The world of key_service_polkit_test.py (a private mount namespace, the machine's own system-bus
configuration, the key service started by the bus as its own user, polkitd, pkttyagent on a
pseudo-terminal), and in it:

- fprintd, started on that bus with libfprint's virtual sensor (FP_VIRTUAL_DEVICE names a unix
  socket; the sensor listens there only while fprintd has the device claimed, and takes one
  command per connection, such as `SCAN <print id>`), keeping its prints in a directory of the
  test (STATE_DIRECTORY);
- a copy of /etc/pam.d mounted over the original, whose polkit-1 asks for a finger first and then
  runs Debian's own polkit stack (the password);
- the test user's right index finger enrolled with fprintd-enroll, one scan per enroll stage.

Commands to the sensor queue: a scan sent when no prompt asks would confirm the next one. So every
scan waits until the agent shows that the sensor is asked, and is consumed before the next.

Usage: fingerprint_polkit_test.py HELPER KEYD POLICY_FILE BUS_POLICY
Exits 77 (skipped) as real_polkit_test.py does.
"""
import glob
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest
from contextlib import closing

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_polkit_test as real  # noqa: E402  (after the path it is found on)
import key_service_polkit_test as service  # noqa: E402

FPRINTD = "/usr/libexec/fprintd"
FPRINT_POLICY = "/usr/share/polkit-1/actions/net.reactivated.fprint.device.policy"
FINGER = "right-index-finger"
ENROLLED, UNKNOWN = "print-of-the-user", "print-of-someone-else"
ENROLL_STAGES = 5
TRIES = 3  # pam_fprintd's default max-tries

ASKS_FOR_FINGER = b"Swipe your right index finger across the fingerprint reader"
NO_MATCH = b"Failed to match fingerprint"
REFUSED = {"ok": False, "error": "secure enclave unwrap failed: user presence was not confirmed"}

# A finger first, then whatever the machine's polkit stack asks (Debian: the password).
PAM_FINGER_FIRST = "auth sufficient pam_fprintd.so\n"


class FingerprintWorld(service.ServiceWorld):
    def __init__(self, *arguments):
        with open(FPRINT_POLICY) as policy:
            self.fprint_policy = policy.read()  # hidden once the actions directory is replaced
        super().__init__(*arguments)
        self.install_pam_stack()
        self.prints = self.own_dir("fprint", 0)
        self.sensor = os.path.join(self.dir, "sensor")
        self.fprintd = None
        self.sensor_present = False
        self.enrolled = False
        self.start_fprintd(sensor=True)

    def install_policy(self, policy):
        super().install_policy(policy)
        # fprintd asks polkit whether its caller may verify or enroll.
        with open(os.path.join(self.dir, "actions", os.path.basename(FPRINT_POLICY)), "w") as out:
            out.write(self.fprint_policy)

    def install_pam_stack(self):
        pam = os.path.join(self.dir, "pam.d")
        shutil.copytree("/etc/pam.d", pam)
        with open("/usr/lib/pam.d/polkit-1") as debian, \
                open(os.path.join(pam, "polkit-1"), "w") as out:
            out.write(PAM_FINGER_FIRST + debian.read())
        self.bind(pam, "/etc/pam.d")

    def start_fprintd(self, sensor):
        """fprintd with the virtual sensor, with no sensor at all, or (None) not running."""
        self.stop_fprintd()
        if sensor is None:
            return
        environment = dict(os.environ, STATE_DIRECTORY=self.prints)
        if sensor:
            environment["FP_VIRTUAL_DEVICE"] = self.sensor
        self.fprintd = subprocess.Popen([FPRINTD, "--no-timeout"], env=environment,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.processes.append(self.fprintd)
        self.sensor_present = sensor
        devices = "/net/reactivated/Fprint/Device/" if sensor else "array ["
        real.wait_until(lambda: devices in subprocess.run(
            ["dbus-send", "--system", "--print-reply", "--dest=net.reactivated.Fprint",
             "/net/reactivated/Fprint/Manager", "net.reactivated.Fprint.Manager.GetDevices"],
            capture_output=True, text=True).stdout, "fprintd to answer")

    def stop_fprintd(self):
        if self.fprintd is not None:
            self.fprintd.kill()
            self.fprintd.wait()
            self.processes.remove(self.fprintd)
            self.fprintd = None
        self.sensor_present = False

    def scan(self, print_id):
        """Puts a finger on the virtual sensor; returns when the sensor has taken the command."""
        deadline = time.monotonic() + 30
        while True:
            try:
                with socket.socket(socket.AF_UNIX) as sensor:
                    sensor.connect(self.sensor)
                    sensor.sendall(b"SCAN %s\n" % print_id.encode())
                    sensor.recv(1)  # the sensor closes the connection once it has the command
                return
            except (FileNotFoundError, ConnectionRefusedError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)

    def enroll(self):
        """The test user's finger, enrolled as a person does it with fprintd-enroll."""
        if self.enrolled:
            return
        with subprocess.Popen(["fprintd-enroll", "-f", FINGER, real.USER], text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as enrolling:
            output = []
            try:
                for _ in range(ENROLL_STAGES):
                    self.scan(ENROLLED)
                    # One scan per stage: wait for the stage's result before the next.
                    while not (line := enrolling.stdout.readline()).startswith("Enroll result"):
                        output.append(line)
                        if not line:
                            raise RuntimeError("fprintd-enroll ended early: " + "".join(output))
                    output.append(line)
                enrolling.wait(timeout=30)
            except BaseException:
                enrolling.kill()  # it would wait for scans forever
                raise
        if "enroll-completed" not in output[-1]:
            raise RuntimeError("enrolling failed: " + "".join(output))
        self.enrolled = True

    def forget(self):
        subprocess.run(["fprintd-delete", real.USER], check=True, capture_output=True)
        self.enrolled = False

    def with_finger(self):
        """The sensor there and the user's finger enrolled: where every case starts."""
        if not self.sensor_present:
            self.start_fprintd(sensor=True)
        self.enroll()


def wait_for_screen(session, text, count=1, timeout=30):
    deadline = time.monotonic() + timeout
    while session.screen.count(text) < count:
        if time.monotonic() >= deadline:
            raise AssertionError("waited for %r; the terminal shows: %r" % (text, session.screen))
        session.pump(deadline, [session.terminal])


class Fingerprint(unittest.TestCase):
    world = None
    blob = None

    @classmethod
    def setUpClass(cls):
        cls.world = FingerprintWorld(*sys.argv[1:5])

    @classmethod
    def tearDownClass(cls):
        cls.world.close()

    def setUp(self):
        self.world.with_finger()

    def session(self, arguments):
        session = real.AgentSession(self.world, arguments)
        self.addCleanup(session.close)
        return session

    def vault_blob(self):
        """The vault key wrapped to the user's key in the service (wrapping asks nobody)."""
        if Fingerprint.blob is None:
            helper = self.session(["--serve"])
            self.assertEqual(helper.read_line(), {"ready": True})
            session = helper.call(cmd="create_session", id=1)["sessionId"]
            reply = helper.call(cmd="wrap_touchid", id=2, sessionId=session)
            self.assertTrue(reply["ok"], reply)
            self.assertIn("%d.tpm" % real.UID, self.world.key_files())
            Fingerprint.blob = reply["blob"]
        return Fingerprint.blob

    def ask(self, kind):
        """Starts one presence prompt: `unwrap` (through the key service) or `bare`.

        The caller closes it before the next case, so that a case that failed with its prompt
        still open leaves nothing behind for the next one.
        """
        if kind == "bare":
            return real.AgentSession(self.world, [])
        blob = self.vault_blob()
        helper = real.AgentSession(self.world, ["--serve"])
        self.assertEqual(helper.read_line(), {"ready": True})
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        return helper

    def outcome(self, kind, prompt):
        """True when the prompt passed; a refused unwrap must say so in its own words."""
        if kind == "bare":
            status = prompt.wait(timeout=60)
            self.assertIn(status, (0, 1))
            return status == 0
        reply = prompt.read_line()
        if reply.get("ok"):
            self.assertIn("sessionId", reply)
            return True
        self.assertEqual(reply, dict(REFUSED, id=3))
        return False

    def test_fingers_on_the_sensor(self):
        # kind of prompt, fingers put on the sensor (one per try), password typed after, passes
        cases = [
            ("unwrap", [ENROLLED], None, True),
            ("bare", [ENROLLED], None, True),
            ("unwrap", [UNKNOWN] * TRIES, real.PASSWORD, True),
            ("unwrap", [UNKNOWN] * TRIES, "not the password", False),
            ("bare", [UNKNOWN] * TRIES, "not the password", False),
        ]
        for kind, fingers, typed, passes in cases:
            with self.subTest(kind=kind, finger=fingers[0], typed=typed), \
                    closing(self.ask(kind)) as prompt:
                for tried, finger in enumerate(fingers, 1):
                    wait_for_screen(prompt, ASKS_FOR_FINGER, tried)
                    scanned = time.monotonic()
                    self.world.scan(finger)
                    if finger == UNKNOWN:
                        wait_for_screen(prompt, NO_MATCH, tried)
                if typed is None:
                    passed = self.outcome(kind, prompt)
                    if kind == "unwrap":
                        print("\n  fingerprint scan to unwrap_touchid reply: %.3f s"
                              % (time.monotonic() - scanned))
                    self.assertNotIn(b"Password:", prompt.screen)
                else:
                    prompt.wait_for_prompt()
                    prompt.type(typed)
                    passed = self.outcome(kind, prompt)
                self.assertEqual(passed, passes)

    def test_without_a_finger_to_ask_for_the_stack_asks_for_the_password(self):
        def no_finger_enrolled():
            self.world.forget()

        def no_sensor():
            self.world.start_fprintd(sensor=False)

        def no_fprintd():
            self.world.start_fprintd(sensor=None)

        for situation in (no_finger_enrolled, no_sensor, no_fprintd):
            with self.subTest(situation.__name__):
                self.world.with_finger()
                situation()
                with closing(self.ask("unwrap")) as prompt:
                    wait_for_screen(prompt, b"Password:")
                    self.assertNotIn(ASKS_FOR_FINGER, prompt.screen)
                    prompt.wait_for_prompt()
                    prompt.type(real.PASSWORD)
                    self.assertTrue(self.outcome("unwrap", prompt))


if __name__ == "__main__":
    real.main(__file__, tools=(FPRINTD, "/usr/bin/fprintd-enroll", "/usr/bin/fprintd-delete",
                               "/usr/bin/pkttyagent", FPRINT_POLICY,
                               (glob.glob("/usr/lib/*/security/pam_fprintd.so")
                                or ["pam_fprintd.so (libpam-fprintd)"])[0]))
