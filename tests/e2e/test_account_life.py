# End to end: the whole life of an account through zel-account, the plug-in and the dev server.
#
# Run by CTest after the fixture has started the dev server; the environment names it:
#   ZEL_E2E_DIR     the fixture's folder (ready.json, state.json, devserver.log)
#   ZEL_BINARY_DIR  the build tree (bin/zel-account, plugins/)
#   ZEL_WINE_RUN    for a Windows build: the build's Wine runner. zel-account.exe then keeps its
#                   settings in the registry, read back here through Wine's "reg", and trusts the
#                   run's CA through the user's root store, as Windows programs do.

import json
import os
import pathlib
import re
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

E2E_DIR = os.environ["ZEL_E2E_DIR"]
WINE_RUN = os.environ.get("ZEL_WINE_RUN")
ZEL_ACCOUNT = [WINE_RUN] if WINE_RUN else []
ZEL_ACCOUNT.append(os.path.join(os.environ["ZEL_BINARY_DIR"], "bin",
                                "zel-account.exe" if WINE_RUN else "zel-account"))
READY = json.loads(pathlib.Path(E2E_DIR, "ready.json").read_text(encoding="utf-8"))
OAUTH, API, CA = READY["oauth"], READY["api"], READY.get("ca") or ""
CONTEXT = ssl.create_default_context(cafile=CA) if CA else None

PASSWORD = "correct horse battery staple"
ISSUED, MAC_KEYS = set(), set()  # every secret the server has issued so far, gathered per step
OUTPUTS = []  # every byte zel-account wrote, to check for secrets at the end


# The secrets in the server's state now, and the MAC keys among them: the one secret that the
# settings hold in clear (the signing needs them).
def server_secrets():
    data = json.loads(pathlib.Path(E2E_DIR, "state.json").read_text(encoding="utf-8"))
    found, keys = {client["secret"] for client in data.get("clients", {}).values()}, set()
    for table in ("codes", "access_tokens", "refresh_tokens", "login_tokens"):
        for token, record in data.get(table, {}).items():
            found.add(token)
            keys.add(record.get("key") if isinstance(record, dict) else None)
    return found - {"", None}, keys - {"", None}


def control(path, **query):  # posts to a /dev/ control endpoint of the OAuth server
    url = OAUTH + path + "?" + urllib.parse.urlencode(query)
    urllib.request.urlopen(url, data=b"", context=CONTEXT).close()


def challenges():  # the Basic challenges the OAuth server has sent, per path
    with urllib.request.urlopen(OAUTH + "/dev/challenges", context=CONTEXT) as reply:
        return json.load(reply)


def registry_text(key):  # the values under a registry key as "name=value" lines, through Wine's reg
    result = subprocess.run([WINE_RUN, "reg", "query", key, "/s"], capture_output=True,
                            timeout=60)
    lines = []
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        match = re.match(r"^ {4}(\S+) {4}(REG_\w+) {4}(.*)$", line.rstrip("\r"))
        if not match:
            lines.append(line.strip())
            continue
        name, kind, value = match.groups()
        # Qt writes a value holding zero bytes as REG_BINARY of its UTF-16 text: decode that.
        if kind == "REG_BINARY":
            value = bytes.fromhex(value).decode("utf-16-le", "replace")
        lines.append("%s=%s" % (name, value))
    return "\n".join(lines)


class Account:  # one device: its own settings file, used by every zel-account call of a test
    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="zel-e2e-")
        self.settings = (os.path.join(self.dir, "zel-account.ini") if not WINE_RUN else
                         "HKEY_CURRENT_USER\\Software\\Zel\\e2e\\" + os.path.basename(self.dir))
        self.test, self.first = test, True

    def run(self, *args, stdin=None, expect=0, trust=True):
        # Debug logging on in every call; the servers and the CA are named in the first call
        # only: the settings remember them, through logouts too.
        command = ZEL_ACCOUNT + ["--settings", self.settings, "--timeout", "30", "--verbose"]
        if self.first:
            command += ["--oauth-server", OAUTH, "--api-server", API]
            # Under Wine the CA is in the user's root store (setUpModule): Wine cannot import
            # the key-less PKCS#12 through which Qt's Schannel backend hands over --ca-file.
            command += ["--ca-file", CA] if CA and trust and not WINE_RUN else []
        self.first = False
        command += list(args)
        result = subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=60,
                                env=dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "share")))
        # The manage-url result is the URL with its one-time login token: handed to the user on
        # purpose. Everything else that zel-account writes must hold no secret.
        OUTPUTS.append(result.stderr if "manage-url" in args else result.stdout + result.stderr)
        secrets, keys = server_secrets()
        ISSUED.update(secrets | keys)
        MAC_KEYS.update(keys)
        self.test.assertEqual(result.returncode, expect,
                              "%s\nstdout: %s\nstderr: %s" % (args, result.stdout, result.stderr))
        return result

    def json(self, *args, **kwargs):
        return json.loads(self.run(*args, **kwargs).stdout)

    def settings_text(self):
        if WINE_RUN:
            return registry_text(self.settings)
        return pathlib.Path(self.settings).read_text(encoding="utf-8")


def setUpModule():
    if WINE_RUN and CA:
        subprocess.run([WINE_RUN, os.path.join(os.environ["ZEL_BINARY_DIR"], "tests",
                                               "trust_ca.exe"), CA], check=True, timeout=60)


class AccountLife(unittest.TestCase):
    def test_whole_life(self):
        challenged_before = challenges()
        device = Account(self)
        email = "ann.%d@example.com" % time.monotonic_ns()
        device.run("register", "--email", email, "--first-name", "Ann", "--last-name", "Lee Smith",
                   "--country", "Deutschland", "--password-stdin", stdin=PASSWORD + "\n")
        status = device.json("status")
        self.assertEqual((status["loginState"], status["pendingActivationEmail"],
                          bool(status["clientId"])), ("PendingActivation", email, True))

        # Not activated yet: the check is refused and the registration stays pending.
        device.run("activate", expect=1)
        self.assertEqual(device.json("status")["loginState"], "PendingActivation")
        control("/dev/activate", email=email)
        device.run("activate")
        status = device.json("status")
        self.assertEqual((status["loginState"], status["pendingActivationEmail"]), ("LoggedIn", ""))

        # A fresh login with the password, after forgetting everything.
        device.run("logout")
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        me = device.json("get", "/me")
        self.assertEqual((me["email"], me["last_name"]), (email, "Lee Smith"))
        self.assertEqual(device.json("put", "/me", json.dumps({"country": "Suisse"}))["country"],
                         "Suisse")
        note = device.json("post", "/notes", stdin=json.dumps({"text": "grüße & <tags>"}))
        self.assertEqual(note["text"], "grüße & <tags>")

        # Short-lived tokens: every call after the expiry refreshes (and rotates) the token.
        control("/dev/token-lifetime", seconds=1)
        try:
            before = server_secrets()
            device.json("get", "/me")
            time.sleep(1.5)
            self.assertRegex(device.run("get", "/me").stderr, r'refresh_token"? grant succeeded')
            self.assertNotEqual(before, server_secrets())
        finally:
            control("/dev/token-lifetime", seconds=3600)

        url = device.run("manage-url").stdout.strip()
        self.assertTrue(url.startswith(OAUTH + "/integration?login-token="), url)
        with urllib.request.urlopen(url, context=CONTEXT) as page:
            self.assertIn(email, page.read().decode("utf-8"))
        self.assertTrue(device.json("pubnub").get("subscribe_key"))
        self.assertIsInstance(device.json("user-details"), dict)

        # Secrets in the settings file only in protected form.
        text = device.settings_text()
        self.assertRegex(text, r"refresh_token=")
        self.assertFalse([s for s in (ISSUED - MAC_KEYS) | {PASSWORD} if s in text])

        device.run("logout")
        self.assertEqual(device.json("status")["loginState"], "LoggedOut")
        text = device.settings_text()
        self.assertNotIn("client_id", text)
        self.assertTrue(OAUTH in text and API in text, "the origins must stay after logout")
        # Grants and the PubNub request carried the client credentials from the first request.
        self.assertEqual(challenges(), challenged_before)

    def test_registration_field_errors(self):
        device = Account(self)
        result = device.run("register", "--email", "nobody", "--first-name", "C", "--last-name",
                            "D", "--country", "X", "--password-stdin", stdin="short\n", expect=1)
        self.assertLessEqual({"email", "password"}, set(json.loads(result.stdout)))

    def test_refused_call_keeps_the_session_a_revoked_token_ends_it(self):
        device = Account(self)
        email = "dee.%d@example.com" % time.monotonic_ns()
        control("/dev/create-account", email=email, password=PASSWORD)
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        # Told in words that name the server.
        self.assertIn("the API server %s answered HTTP 4" % API,
                      device.run("put", "/me", json.dumps({"email": "other@example.com"}),
                                 expect=1).stderr)
        self.assertIn("the API server %s answered HTTP 404 (not found)" % API,
                      device.run("get", "/no-such-thing", expect=1).stderr)
        self.assertTrue(device.json("status")["isLoggedIn"])
        control("/dev/revoke", email=email)
        self.assertIn("invalid_grant", device.run("get", "/me", expect=1).stderr)
        self.assertFalse(device.json("status")["isLoggedIn"])
        self.assertNotIn("refresh_token", device.settings_text())

    @unittest.skipIf(WINE_RUN, "the settings are in the registry under Wine")
    def test_silent_api_server_is_told_as_a_timeout(self):
        device = Account(self)
        email = "fay.%d@example.com" % time.monotonic_ns()
        control("/dev/create-account", email=email, password=PASSWORD)
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        # Long enough for the refresh grant before the call, also in the sanitizer build.
        path = pathlib.Path(device.settings)
        path.write_text(path.read_text(encoding="utf-8").replace(
            "[General]\n", "[General]\ntransferTimeout=5000\n", 1), encoding="utf-8")
        with socket.create_server(("127.0.0.1", 0)) as silent:  # takes connections, says nothing
            result = device.run("--api-server", "http://127.0.0.1:%d" % silent.getsockname()[1],
                                "get", "/me", expect=1)
        self.assertIn("request failed: the API server did not answer within 5 s", result.stderr)

    @unittest.skipUnless(CA, "the servers speak TLS only in the https run")
    @unittest.skipIf(WINE_RUN, "under Wine the run's CA is trusted by the whole prefix")
    def test_untrusted_certificate_is_named(self):
        device = Account(self)
        email = "eve.%d@example.com" % time.monotonic_ns()
        result = device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n", expect=1,
                            trust=False)
        self.assertIn("cannot reach the OAuth server %s: the server's TLS certificate is not "
                      "trusted (pass --ca-file" % OAUTH, result.stderr)

    @classmethod
    def tearDownClass(cls):
        # With debug logging on in every call, no secret the server issued reached any output.
        everything = "\n".join(OUTPUTS)
        leaked = [s for s in ISSUED | {PASSWORD} if s in everything]
        if leaked or not ISSUED:
            raise AssertionError("secrets in zel-account's output: %d" % len(leaked) if leaked else
                                 "no secret was issued: the run did not reach the server")


if __name__ == "__main__":
    unittest.main(verbosity=2)
