#!/usr/bin/python3
"""The key service as a machine runs it, against the real bus, launch helper and polkit daemon.

The world of real_polkit_test.py (a private mount namespace, copies of the user files, polkitd,
pkttyagent on a pseudo-terminal), with these differences: the bus runs the machine's own system
configuration, with the package's bus policy and an activation file for the built key service
installed where the bus reads them; the bus's launch helper starts the service as its own user,
quorvane-keyd, which alone can reach the software TPM and the service's state directory. The test
user has no TPM and no desktop keyring, so the service is the only place a new key can go. Every
case of real_polkit_test.py runs again in this world, through the service; the cases below add
a second user, a blob from before the service, and the attack a process of the user would try.

Usage: key_service_polkit_test.py HELPER KEYD POLICY_FILE BUS_POLICY
Exits 77 (skipped) as real_polkit_test.py does.
"""
import base64
import glob
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_polkit_test as real  # noqa: E402  (after the path it is found on)

SERVICE_USER, SERVICE_UID = "quorvane-keyd", 4250
OTHER, OTHER_UID = "qvother", 4243
BUS_NAME = "com.quorvane.KeyService1"
OBJECT = "/com/quorvane/KeyService1"
IDLE_SECONDS = 3
NEIGHBOUR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bus_neighbour.py")

# A P-256 scalar such as an earlier helper kept in the user's own store, and a blob the platform
# made for it holding 15 bytes: it opens, and is then refused as a vault key.
OLD_SCALAR = "71a1c67a6ede41bf9d6e68cc3649f934c542f2fa3329c2710583ea31d5e29d14"
OLD_BLOB = base64.b64encode(bytes.fromhex(
    "048eac0421b27fdd7a190495dc31cebe61713a6cdb57da6ad3cc1c39d29a7a93f6fd0b5ea63f4cef"
    "57589335dfe8ea88b2d0f2c952317e700c7d4a71673a021c36da958473cf086a1f083b2ba44d9751"
    "76f4f55d2cdb491f8f7cc8949f9685bf")).decode()
OLD_KEY_TAG = b"com.quorvane.secureenclave.vault"


class ServiceWorld(real.World):
    users = real.World.users + [(OTHER, OTHER_UID), (SERVICE_USER, SERVICE_UID)]

    def __init__(self, helper, keyd, policy, bus_policy):
        self.keyd_source = keyd
        self.bus_policy = bus_policy
        super().__init__(helper, policy)

    def start_bus(self):
        self.service = self.own_dir("service", SERVICE_UID)
        self.state = os.path.join(self.service, "state")
        keyd = os.path.join(self.dir, "quorvane-keyd")
        shutil.copy(self.keyd_source, keyd)
        os.chmod(keyd, 0o755)
        # The neighbours run as the test users, who may not reach the source tree (a checkout
        # in root's own 0700 home): they get a copy where they can read it, as the helper does.
        self.neighbour = os.path.join(self.dir, "bus_neighbour.py")
        shutil.copy(NEIGHBOUR_SOURCE, self.neighbour)
        os.chmod(self.neighbour, 0o644)
        # The machine's bus policies plus the package's, where the bus reads them.
        policies = os.path.join(self.dir, "system.d")
        shutil.copytree("/usr/share/dbus-1/system.d", policies)
        shutil.copy(self.bus_policy, policies)
        self.bind(policies, "/usr/share/dbus-1/system.d")
        # The launch helper reads activation files only from the standard directory.
        services = os.path.join(self.dir, "system-services")
        os.mkdir(services, 0o755)
        with open(os.path.join(services, BUS_NAME + ".service"), "w") as out:
            out.write("[D-BUS Service]\nName=%s\nUser=%s\n"
                      "Exec=%s --tpm swtpm:path=%s/sock --state-directory %s --idle-exit %d\n"
                      % (BUS_NAME, SERVICE_USER, keyd, self.service, self.state, IDLE_SECONDS))
        self.bind(services, "/usr/share/dbus-1/system-services")
        os.makedirs("/run/dbus", exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run/dbus"],
                       check=True)
        self.spawn(["dbus-daemon", "--system", "--nofork", "--nopidfile"])
        real.wait_until(lambda: real.accepts(real.BUS_SOCKET), "the system bus to listen")

    def start_swtpm(self):
        # The TPM is the service's: its socket lies in the service's own directory.
        self.tpm = self.service
        real.as_user(["swtpm", "socket", "--tpm2", "--tpmstate", "dir=" + self.service,
                      "--server", "type=unixio,path=%s/sock" % self.service,
                      "--ctrl", "type=unixio,path=%s/sock.ctrl" % self.service,
                      "--flags", "not-need-init,startup-clear",
                      "--pid", "file=%s/pid" % self.service, "--daemon"],
                     uid=SERVICE_UID, check=True)
        real.wait_until(lambda: real.accepts(self.service + "/sock") and
                        os.path.exists(self.service + "/pid"), "swtpm to listen")

    def environment(self):
        environment = super().environment()
        # The user has no TPM of their own here: the device the helper would try does not exist.
        environment["QUORVANE_TEST_TPM_TCTI"] = "device:/nonexistent/tpmrm0"
        return environment

    def other_environment(self):
        if not hasattr(self, "other_home"):
            self.other_home = self.own_dir("other-home", OTHER_UID)
        environment = self.environment()
        environment["HOME"] = self.other_home
        environment["XDG_DATA_HOME"] = os.path.join(self.other_home, "data")
        return environment

    def key_files(self):
        return sorted(os.listdir(self.state)) if os.path.isdir(self.state) else []

    def service_pids(self):
        """The processes of this world's own service: other services of the machine (another
        test's, an installed one) come and go on their own."""
        own = os.path.join(self.dir, "quorvane-keyd")
        pids = []
        for exe in glob.glob("/proc/[0-9]*/exe"):
            try:
                if os.readlink(exe) == own:
                    pids.append(int(exe.split("/")[2]))
            except OSError:
                pass
        return pids


# A program of the user that opens system-bus connections until the bus refuses one, says how
# many it holds and why the next was refused, and holds them until its standard input closes.
BUS_HOG = """
import dbus, sys
held = []
while True:
    try:
        held.append(dbus.bus.BusConnection("unix:path=/run/dbus/system_bus_socket"))
    except dbus.exceptions.DBusException as refused:
        print(len(held), refused.get_dbus_name(), flush=True)
        break
sys.stdin.read()
"""


def bus_call(uid, member, *arguments):
    """dbus-send to the service as `uid`; returns (status, output)."""
    result = real.as_user(["dbus-send", "--system", "--print-reply", "--reply-timeout=20000",
                           "--dest=" + BUS_NAME, OBJECT, BUS_NAME + "." + member]
                          + list(arguments), uid=uid, capture_output=True, text=True)
    return result.returncode, (result.stdout + result.stderr).strip()


class ThroughTheKeyService(real.RealPolkit):
    names_the_program = True

    @classmethod
    def setUpClass(cls):
        cls.world = ServiceWorld(*sys.argv[1:5])

    def wrapped_vault(self, agent=True):
        helper, blob = super().wrapped_vault(agent)
        # The key lives in the service, made by its TPM, and nowhere the user can read.
        self.assertIn("%d.tpm" % real.UID, self.world.key_files())
        return helper, blob

    def test_the_service_withdraws_the_prompt_of_an_application_that_went_away(self):
        helper, blob = self.wrapped_vault()
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        self.assertTrue(self.world.service_pids())
        helper.hang_up()
        self.assertEqual(helper.wait(timeout=30), 0)
        # A service still waiting on polkit for the gone caller would stay for polkit's minutes;
        # with the check withdrawn it is idle, and ends.
        real.wait_until(lambda: not self.world.service_pids(),
                        "the key service to end after its caller left", seconds=IDLE_SECONDS + 20)

    # A system service is shared by every user of the machine, some of them hostile. Each case
    # below is something a neighbour (another user, or another program of the same user) once
    # did to cancel, block, stall or spend another person's unlock; each must be refused or
    # harmless.

    def neighbour(self, *arguments, uid=OTHER_UID):
        result = real.as_user(["/usr/bin/python3", self.world.neighbour] + list(arguments), uid=uid,
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def open_prompt(self):
        """A helper of the user whose unwrap is waiting at the password prompt, and its blob."""
        helper, blob = self.wrapped_vault()
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        return helper, blob

    def answer_prompt(self, helper):
        helper.type(real.PASSWORD)
        reply = helper.read_line()
        self.assertTrue(reply.get("ok"), reply)

    def test_a_forged_departure_cancels_nothing(self):
        helper, _ = self.open_prompt()
        # Only the bus daemon can say that a connection went; the same words from anyone else
        # change nothing.
        self.assertGreater(self.neighbour("forge-departures")["sent"], 0)
        self.answer_prompt(helper)

    def test_a_user_holds_one_prompt_at_a_time(self):
        helper, blob = self.open_prompt()
        point = base64.b64decode(blob)[:65].hex()
        # A second Decrypt of the same user is refused at once, prompting nobody and spending
        # none of the service's pending replies to polkit.
        second = self.neighbour("decrypt", point, uid=real.UID)
        self.assertEqual(second["error"], BUS_NAME + ".Error.Unavailable", second)
        self.assertIn("another presence prompt of this user is open", second["message"])
        self.answer_prompt(helper)

    def test_a_point_that_is_not_on_the_curve_is_refused_before_anybody_is_asked(self):
        self.wrapped_vault()
        off_curve = "04" + "00" * 64
        cases = [("off the curve", ["decrypt", off_curve]),
                 ("too short", ["decrypt", off_curve[:-2]]),
                 ("30 MiB", ["decrypt-size", str(30 << 20)])]
        for label, arguments in cases:
            with self.subTest(label):
                outcome = self.neighbour(*arguments)
                self.assertEqual(outcome["error"], "org.freedesktop.DBus.Error.InvalidArgs",
                                 outcome)
        # Nothing of the refused points is kept: the service stays small. (A build with the
        # address sanitizer keeps freed memory in quarantine on purpose: there is nothing to see.)
        with open(self.world.keyd_source, "rb") as binary:
            if b"__asan_init" in binary.read():
                return
        for pid in self.world.service_pids():
            with open("/proc/%d/status" % pid) as status:
                peak = next(int(line.split()[1]) for line in status
                            if line.startswith("VmHWM:"))
            print("\n  the service's peak resident size: %d KiB" % peak)
            self.assertLess(peak, 128 << 10)

    def test_a_stopped_polkit_stalls_nobody_else(self):
        helper, blob = self.wrapped_vault()
        polkitd = next(p for p in self.world.processes if "polkitd" in p.args[0])
        os.kill(polkitd.pid, signal.SIGSTOP)
        try:
            # The user's unwrap now waits on polkit; another user's calls must not.
            helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
            status = self.neighbour("status", "20")
            print("\n  Status with polkitd stopped: median %.1f ms, worst %.1f ms"
                  % (status["median_ms"], status["worst_ms"]))
            self.assertIsNone(status["error"], status)
            # A handler that waited on polkit would hold every call for sd-bus's 25 seconds.
            self.assertLess(status["worst_ms"], 5000)
        finally:
            os.kill(polkitd.pid, signal.SIGCONT)
        # polkit back, the user's unwrap goes on to its prompt and completes.
        helper.wait_for_prompt()
        self.answer_prompt(helper)

    def test_a_flood_of_calls_from_another_user_stalls_nobody(self):
        helper, blob = self.wrapped_vault()
        # The other user floods Status from 100 connections while this user's calls go on.
        flood = [subprocess.Popen(["setpriv", "--reuid=%d" % OTHER_UID, "--regid=%d" % OTHER_UID,
                                   "--clear-groups", "--", "/usr/bin/python3", self.world.neighbour,
                                   "status", "20"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                 for _ in range(100)]
        try:
            mine = self.neighbour("status", "50", uid=real.UID)
        finally:
            outcomes = [json.loads(process.communicate(timeout=300)[0] or "{}")
                        for process in flood]
        print("\n  Status under a flood of another user's: median %.1f ms, worst %.1f ms"
              % (mine["median_ms"], mine["worst_ms"]))
        self.assertIsNone(mine["error"], mine)
        self.assertTrue(all(outcome.get("error") is None for outcome in outcomes))
        # A call that waited behind the flood would fail with NoReply after 25 seconds.
        self.assertLess(mine["worst_ms"], 5000)
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        self.answer_prompt(helper)

    def test_a_refusing_rule_is_answered_before_anybody_is_asked(self):
        helper, blob = self.wrapped_vault()
        self.world.refuse(True)
        self.addCleanup(self.world.refuse, False)
        point = base64.b64decode(blob)[:65].hex()
        # polkitd reloads its rules when the directory changes.
        deadline = time.monotonic() + 30
        while True:
            outcome = self.neighbour("decrypt", point, uid=real.UID)
            if outcome["error"] != BUS_NAME + ".Error.NotConfirmed" or \
                    time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(outcome["error"], BUS_NAME + ".Error.Unavailable", outcome)
        self.assertIn("polkit refuses", outcome["message"])
        reply = helper.call(cmd="unwrap_touchid", id=3, blob=blob)
        self.assertFalse(reply["ok"])
        self.assertIn("polkit refuses", reply["error"])
        self.assertNotIn(b"Password:", helper.screen)

    def test_sigterm_answers_the_call_in_flight_and_ends_the_service(self):
        helper, _ = self.open_prompt()
        for pid in self.world.service_pids():
            os.kill(pid, signal.SIGTERM)
        reply = helper.read_line(timeout=30)
        self.assertFalse(reply["ok"])
        self.assertIn("the key service is stopping", reply["error"])
        real.wait_until(lambda: not self.world.service_pids(), "the key service to end")

    def test_another_user_can_neither_use_nor_delete_the_key(self):
        helper, blob = self.wrapped_vault()
        lines = '{"cmd":"unwrap_touchid","id":1,"blob":"%s"}\n' % blob
        other_environment = self.world.other_environment()
        other = self.world.run(["--serve"], uid=OTHER_UID, input=lines, env=other_environment)
        replies = other.stdout.splitlines()
        self.assertEqual(len(replies), 2, other)
        self.assertIn('"ok":false', replies[1])
        deleted = self.world.run(["--delete-key"], uid=OTHER_UID, env=other_environment)
        self.assertEqual(deleted.returncode, 0, deleted)
        self.assertIn("%d.tpm" % real.UID, self.world.key_files())
        # Straight on the bus, with the blob's own point: the other user's call reaches only
        # that user's keys, of which there are none.
        point = ",".join("0x%02x" % b for b in base64.b64decode(blob)[:65])
        status, output = bus_call(OTHER_UID, "Decrypt", "array:byte:" + point)
        self.assertNotEqual(status, 0)
        self.assertIn("Error.NoKey", output)

        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": blob})
        helper.wait_for_prompt()
        helper.type(real.PASSWORD)
        self.assertTrue(helper.read_line().get("ok"))

    def test_a_blob_made_before_the_service_still_opens(self):
        helper, _ = self.wrapped_vault()
        # An earlier helper's key, in the user's own store.
        store = os.path.join(self.world.home, "data", "quorvane", "keychain.sqlite3")
        stored = self.world.run(["--secret-store", "--service", "seed", "--account", "a"],
                                input="x")
        self.assertEqual(stored.returncode, 0, stored)
        with sqlite3.connect(store) as database:
            database.execute("INSERT INTO key_items VALUES "
                             "('kSecAttrKeyTypeECSECPrimeRandom', ?, ?, 0)",
                             (OLD_KEY_TAG, bytes.fromhex(OLD_SCALAR)))
        self.addCleanup(lambda: sqlite3.connect(store).execute("DELETE FROM key_items")
                        .connection.commit())
        helper.send({"cmd": "unwrap_touchid", "id": 3, "blob": OLD_BLOB})
        helper.wait_for_prompt()
        helper.type(real.PASSWORD)
        # Opened (one prompt, for the service's key first), then refused for its 15 bytes.
        self.assertEqual(helper.read_line(),
                         {"id": 3, "ok": False,
                          "error": "invalid vault key from secure enclave unwrap"})
        # A new wrap goes to the service's key, never to the one the user's store holds.
        session = helper.call(cmd="create_session", id=4)["sessionId"]
        self.assertTrue(helper.call(cmd="wrap_touchid", id=5, sessionId=session)["ok"])
        self.assertEqual(self.world.key_files(), ["%d.tpm" % real.UID])

    def test_a_user_who_exhausts_the_bus_gets_no_weaker_key(self):
        """With every bus connection of the user taken, the service cannot be asked: the wrap
        fails with the reason instead of going to the user's own TPM, which is reachable here."""
        tpm = self.world.own_dir("user-tpm")
        real.as_user(["swtpm", "socket", "--tpm2", "--tpmstate", "dir=" + tpm,
                      "--server", "type=unixio,path=%s/sock" % tpm,
                      "--ctrl", "type=unixio,path=%s/sock.ctrl" % tpm,
                      "--flags", "not-need-init,startup-clear", "--pid", "file=%s/pid" % tpm,
                      "--daemon"], check=True)
        real.wait_until(lambda: os.path.exists(tpm + "/pid"), "the user's swtpm to listen")
        with open(tpm + "/pid") as pid:
            self.addCleanup(os.kill, int(pid.read()), signal.SIGKILL)
        environment = self.world.environment()
        environment["QUORVANE_TEST_TPM_TCTI"] = "swtpm:path=%s/sock" % tpm
        store = os.path.join(self.world.home, "data", "quorvane", "keychain.sqlite3")

        def user_keys():
            if not os.path.exists(store):
                return 0
            with sqlite3.connect(store) as database:
                return database.execute("SELECT count(*) FROM key_items").fetchone()[0]

        helper = subprocess.Popen(["setpriv", "--reuid=%d" % real.UID, "--regid=%d" % real.UID,
                                   "--clear-groups", "--", self.world.helper, "--serve"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  env=environment)
        self.addCleanup(helper.stdout.close)
        self.addCleanup(helper.wait, 30)
        self.addCleanup(helper.stdin.close)

        def call(**request):
            helper.stdin.write(json.dumps(request) + "\n")
            helper.stdin.flush()
            return json.loads(helper.stdout.readline())

        self.assertEqual(json.loads(helper.stdout.readline()), {"ready": True})
        session = call(cmd="create_session", id=1)["sessionId"]

        hog = subprocess.Popen(["setpriv", "--reuid=%d" % real.UID, "--regid=%d" % real.UID,
                                "--clear-groups", "--", "/usr/bin/python3", "-c", BUS_HOG],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(hog.stdout.close)
        self.addCleanup(hog.wait, 30)
        self.addCleanup(hog.stdin.close)
        held, refusal = hog.stdout.readline().split()
        print("\n  the user's program holds %s connections; the next: %s" % (held, refusal))
        self.assertEqual(refusal, "org.freedesktop.DBus.Error.LimitsExceeded")

        reply = call(cmd="wrap_touchid", id=2, sessionId=session)
        self.assertEqual(reply, {
            "id": 2, "ok": False,
            "error": "secure enclave key create failed: the key service "
                     "(com.quorvane.KeyService1) cannot be asked now (the system bus refused "
                     "the call: a limit of the bus was reached (too many connections or calls "
                     "of this user))"})
        self.assertEqual(user_keys(), 0, "a key went to the user's own store")
        checked = self.world.run(["--check"], env=environment)
        self.assertEqual((checked.returncode, checked.stdout), (3, ""), checked)

        hog.stdin.close()
        hog.wait(timeout=30)
        real.wait_until(lambda: bus_call(real.UID, "Status")[0] == 0,
                        "the bus to take the user's connections again")
        reply = call(cmd="wrap_touchid", id=3, sessionId=session)
        self.assertTrue(reply["ok"], reply)
        # The user's TPM answers, and still the key is the service's.
        self.assertEqual(user_keys(), 0)
        self.assertIn("%d.tpm" % real.UID, self.world.key_files())

    def test_a_process_of_the_user_cannot_open_a_blob_without_the_prompt(self):
        """Everything the user can read and reach, tried for the vault key; each refusal shown."""
        _, blob = self.wrapped_vault()
        point = ",".join("0x%02x" % b for b in base64.b64decode(blob)[:65])
        attempts = []

        def attempt(what, command, refused_by):
            result = real.as_user(command, capture_output=True, text=True, timeout=60,
                                  env=self.world.environment())
            output = (result.stdout + result.stderr).strip()
            attempts.append((what, result.returncode, output))
            print("\n  tried: %s\n  got:   %s (status %d)" % (what, output[:300],
                                                            result.returncode))
            self.assertNotEqual(result.returncode, 0, what)
            self.assertTrue(any(text in output for text in refused_by.split("|")), what)

        attempt("read the service's key files",
                ["ls", self.world.state], "Permission denied")
        attempt("use the TPM with tpm2-tools",
                ["tpm2_getcap", "-T", "swtpm:path=%s/sock" % self.world.service,
                 "properties-fixed"], "ERROR")
        attempt("take the service's name on the bus, to answer in its place",
                ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                 "/org/freedesktop/DBus", "org.freedesktop.DBus.RequestName",
                 "string:" + BUS_NAME, "uint32:0"], "AccessDenied")
        attempt("ask the service for the shared secret with nobody to answer the prompt",
                ["dbus-send", "--system", "--print-reply", "--reply-timeout=30000",
                 "--dest=" + BUS_NAME, OBJECT, BUS_NAME + ".Decrypt", "array:byte:" + point],
                "Error.NoAgent|Error.Unavailable")
        for pid in self.world.service_pids():
            attempt("read the service's memory",
                    ["dd", "if=/proc/%d/mem" % pid, "of=/dev/null", "count=1"],
                    "Permission denied")
        # The user's own store holds no key: nothing there to copy.
        store = os.path.join(self.world.home, "data", "quorvane", "keychain.sqlite3")
        if os.path.exists(store):
            with sqlite3.connect(store) as database:
                self.assertEqual(database.execute("SELECT count(*) FROM key_items").fetchone(),
                                 (0,))
        self.assertTrue(attempts)


if __name__ == "__main__":
    real.main(__file__, tools=("/usr/lib/dbus-1.0/dbus-daemon-launch-helper",
                               "/usr/bin/tpm2_getcap"))
