# The keyring leg, end to end: zel-account keeps its data-protection key in a real
# gnome-keyring-daemon on the private session bus that run.sh started and unlocked.
#
# Environment: as for test_account_life.py, plus ZEL_TEST_KEYRING_PASSWORD.

import contextlib
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
import test_account_life as life  # noqa: E402  (the dev server's address, the Account runner)

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"


def keyring(action):  # locks or unlocks the default collection
    subprocess.run([PYTHON, os.path.join(HERE, "keyring.py"), action], check=True, timeout=20,
                   input=os.environ["ZEL_TEST_KEYRING_PASSWORD"].encode())


def keyring_items():  # the attributes of the plug-in's items, as secret-tool shows them
    result = subprocess.run(["secret-tool", "search", "--all", "--unlock", "application",
                             "zel.network.oauth"], capture_output=True, text=True, timeout=20)
    return [line for line in result.stderr.splitlines() if line.startswith("attribute.key-id")]


@contextlib.contextmanager
def environment(**values):
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update({name: value for name, value in values.items() if value is not None})
    for name in (name for name, value in values.items() if value is None):
        os.environ.pop(name, None)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


# A session bus of its own, with no service that can be started on it; stub=True adds a
# Secret Service that takes every call and never answers.
@contextlib.contextmanager
def other_bus(stub):
    folder = tempfile.mkdtemp(prefix="zel-bus-")
    config = pathlib.Path(folder, "bus.conf")
    config.write_text("<busconfig><type>session</type><listen>unix:dir=%s</listen>"
                      "<policy context='default'><allow send_destination='*' eavesdrop='true'/>"
                      "<allow eavesdrop='true'/><allow own='*'/></policy></busconfig>" % folder)
    bus = subprocess.Popen(["dbus-daemon", "--config-file", str(config), "--nofork",
                            "--print-address=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True)
    processes = [bus]
    try:
        address = bus.stdout.readline().strip()
        if stub:
            processes.append(subprocess.Popen([PYTHON, os.path.join(HERE, "silent_service.py")],
                                              env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address),
                                              stdout=subprocess.PIPE, text=True))
            assert processes[-1].stdout.readline().strip() == "ready"
        with environment(DBUS_SESSION_BUS_ADDRESS=address):
            yield
    finally:
        for process in reversed(processes):
            process.kill()
            process.wait()
            process.stdout.close()


class KeyringLife(unittest.TestCase):
    def setUp(self):
        subprocess.run(["secret-tool", "clear", "application", "zel.network.oauth"], timeout=20)
        self.device = life.Account(self)
        self.email = "kay.%d@example.com" % time.monotonic_ns()
        life.control("/dev/create-account", email=self.email, password=life.PASSWORD)
        self.key_file = pathlib.Path(self.device.dir, "share", "zel", "data-protection.key")

    def login(self):
        self.device.run("login", self.email, "--password-stdin", stdin=life.PASSWORD + "\n")

    def signed_call(self, expect=0):
        return self.device.run("get", "/me", expect=expect)

    def test_fresh_device_keeps_its_key_in_the_keyring(self):
        self.login()
        self.assertEqual(self.signed_call().returncode, 0)  # a restart: a process of its own
        self.assertEqual(self.device.json("status")["keyStore"], "keyring")
        self.assertEqual(len(keyring_items()), 1)
        self.assertFalse(self.key_file.exists())

    def test_key_file_moves_into_the_keyring(self):
        # Written by the key file's store, which is the code of the releases before the keyring.
        with environment(ZEL_KEY_STORE="file"):
            self.login()
            self.assertEqual(self.device.json("status")["keyStore"], "file %s" % self.key_file)
        self.assertEqual(keyring_items(), [])
        self.signed_call()  # opens the values sealed before the move, without a new login
        self.assertFalse(self.key_file.exists())
        self.assertEqual((len(keyring_items()), self.device.json("status")["keyStore"]),
                         (1, "keyring"))

    def test_locked_keyring_loses_nothing(self):
        self.login()
        settings = pathlib.Path(self.device.settings).read_bytes()
        keyring("lock")
        try:
            self.assertIn("the keyring is locked", self.signed_call(expect=1).stderr)
            self.assertEqual(self.device.json("status")["keyStore"], "keyring (locked)")
        finally:
            keyring("unlock")
        self.assertEqual(pathlib.Path(self.device.settings).read_bytes(), settings)
        self.assertFalse(self.key_file.exists())
        self.signed_call()  # the next start, unlocked, opens what was stored

    def test_no_secret_service_on_the_bus_means_the_key_file(self):
        with other_bus(stub=False):
            self.login()
            self.signed_call()
            self.assertEqual(self.device.json("status")["keyStore"], "file %s" % self.key_file)

    def test_silent_secret_service_fails_within_five_seconds(self):
        self.login()
        settings = pathlib.Path(self.device.settings).read_bytes()
        with other_bus(stub=True):
            started = time.monotonic()
            result = self.signed_call(expect=1)
            elapsed = time.monotonic() - started
        self.assertIn("the keyring did not answer within 5 s", result.stderr)
        # The bound is 5 s of waiting; a freeze would be D-Bus's 25 s or none at all.
        self.assertLess(elapsed, 15, "zel-account took %.1f s" % elapsed)
        self.assertEqual(pathlib.Path(self.device.settings).read_bytes(), settings)
        self.signed_call()


if __name__ == "__main__":
    # It clears the plug-in's items from the keyring: only ever the private one of run.sh.
    if not os.environ.get("ZEL_KEYRING_LEG_BUS"):
        sys.exit("run it through tests/keyring/run.sh, never on the user's own keyring")
    unittest.main(verbosity=2)
