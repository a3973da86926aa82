# A host that moves from its Qt 5 build to its Qt 6 build keeps its login: the store that the
# Qt 5 build wrote (device credentials, protected refresh token, MAC key, origins, a non-ASCII
# pending e-mail) is read by the Qt 6 build, which makes signed calls without a new login.
# (That each build reads the other's non-ASCII text is tst_plugin's, in both builds.)
#
# Run by CTest in the newer build, with the dev server's fixture; the environment names:
#   ZEL_E2E_DIR        the fixture's folder (ready.json)
#   ZEL_BINARY_DIR     this build (Qt 6)
#   ZEL_OLD_BINARY_DIR the Qt 5 build; without it the test is skipped (exit status 77)

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

OLD_DIR, NEW_DIR = os.environ.get("ZEL_OLD_BINARY_DIR", ""), os.environ["ZEL_BINARY_DIR"]
READY = json.loads(pathlib.Path(os.environ["ZEL_E2E_DIR"], "ready.json").read_text("utf-8"))
PASSWORD = "upgrade password 1"


def control(path, **query):  # a /dev/ control endpoint of the OAuth server
    url = READY["oauth"] + path + "?" + urllib.parse.urlencode(query)
    urllib.request.urlopen(url, data=b"").close()


class Device:  # one settings store and one key store, used by both builds
    def __init__(self, test):
        self.test, self.dir = test, tempfile.mkdtemp(prefix="zel-upgrade-")
        self.settings = os.path.join(self.dir, "zel-account.ini")

    def run(self, build, *args, stdin=None, settings=None):
        command = [os.path.join(build, "bin", "zel-account"), "--plugin",
                   os.path.join(build, "plugins", "zel.network.oauth.so"),
                   "--settings", settings or self.settings, "--timeout", "30"] + list(args)
        result = subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=60,
                                env=dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "share")))
        self.test.assertEqual(result.returncode, 0, "%s %s\n%s" % (build, args, result.stderr))
        return json.loads(result.stdout) if result.stdout.strip().startswith("{") else result


class QtUpgrade(unittest.TestCase):
    def test_qt6_build_keeps_the_login_of_the_qt5_build(self):
        device = Device(self)
        email = "jürgen.müller.%d@example.com" % time.monotonic_ns()
        device.run(OLD_DIR, "--oauth-server", READY["oauth"], "--api-server", READY["api"],
                   "register", "--email", email, "--first-name", "Jürgen", "--last-name", "Müller",
                   "--country", "Österreich", "--password-stdin", stdin=PASSWORD + "\n")
        # The pending registration, as the Qt 5 build stored it, read by the Qt 6 build.
        pending = os.path.join(device.dir, "pending.ini")
        shutil.copy(device.settings, pending)
        status = device.run(NEW_DIR, "status", settings=pending)
        self.assertEqual((status["loginState"], status["pendingActivationEmail"]),
                         ("PendingActivation", email))

        control("/dev/activate", email=email)
        device.run(OLD_DIR, "activate")
        # No password from here on: the Qt 6 build signs with what the Qt 5 build stored (device
        # credentials, refresh token, MAC key, API origin).
        self.assertEqual(device.run(NEW_DIR, "status")["loginState"], "LoggedIn")
        me = device.run(NEW_DIR, "get", "/me")
        self.assertEqual((me["email"], me["last_name"], me["country"]),
                         (email, "Müller", "Österreich"))
        note = device.run(NEW_DIR, "post", "/notes", json.dumps({"text": "nach dem Umstieg"}))
        self.assertEqual(note["text"], "nach dem Umstieg")


if __name__ == "__main__":
    if not OLD_DIR:
        print("SKIP: no Qt 5 build given (configure with -DZEL_OTHER_QT_BUILD_DIR=<Qt 5 build>)")
        sys.exit(77)
    unittest.main()
