"""End to end: the whole life of an account through zel-account, the plug-in and the dev server.

Run by CTest after the fixture has started the dev server; the environment names it:
  ZEL_E2E_DIR     the fixture's folder (ready.json, state.json, devserver.log)
  ZEL_BINARY_DIR  the build tree (bin/zel-account, plugins/)
"""

import json
import os
import re
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import ssl

E2E_DIR = os.environ["ZEL_E2E_DIR"]
ZEL_ACCOUNT = os.path.join(os.environ["ZEL_BINARY_DIR"], "bin", "zel-account")
with open(os.path.join(E2E_DIR, "ready.json"), encoding="utf-8") as f:
    READY = json.load(f)
OAUTH, API, CA = READY["oauth"], READY["api"], READY.get("ca") or ""

PASSWORD = "correct horse battery staple"
# Every secret the server has issued so far, gathered from its state after each step.
ISSUED = set()
STORED_PROTECTED = set()  # the same without the MAC keys
OUTPUTS = []  # every byte zel-account wrote, to check for secrets at the end


def server_secrets(with_mac_keys=True):
    """The secrets in the server's state now. MAC keys are the one secret that the settings
    hold in clear (the signing needs them), so the settings check leaves them out."""
    with open(os.path.join(E2E_DIR, "state.json"), encoding="utf-8") as f:
        data = json.load(f)
    found = set()
    for client in data.get("clients", {}).values():
        found.add(client["secret"])
    for table in ("codes", "access_tokens", "refresh_tokens", "login_tokens"):
        for token, record in data.get(table, {}).items():
            found.add(token)
            if with_mac_keys and isinstance(record, dict) and "key" in record:
                found.add(record["key"])
    return {s for s in found if s}


def control(path, **query):
    """Calls a /dev/ control endpoint of the OAuth server."""
    url = OAUTH + path + "?" + urllib.parse.urlencode(query)
    context = ssl.create_default_context(cafile=CA) if CA else None
    with urllib.request.urlopen(urllib.request.Request(url, method="POST"), context=context) as r:
        return json.loads(r.read() or b"{}")


class Account:
    """One device: its own settings file, used by every zel-account call of a test."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="zel-e2e-")
        self.settings = os.path.join(self.dir, "zel-account.ini")
        self.test = test
        self.first = True

    def run(self, *args, stdin=None, expect=0, verbose=True):
        command = [ZEL_ACCOUNT, "--settings", self.settings, "--timeout", "30"]
        if self.first:
            command += ["--oauth-server", OAUTH, "--api-server", API]
            self.first = False
        if CA:
            command += ["--ca-file", CA]
        if verbose:
            command.append("--verbose")
        command += list(args)
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.dir, "share"))
        result = subprocess.run(command, input=stdin, capture_output=True, text=True, env=env,
                                timeout=60)
        # The manage-url result is the URL with its one-time login token: handed to the user on
        # purpose. Everything else that zel-account writes must hold no secret.
        OUTPUTS.append(result.stderr if "manage-url" in args else result.stdout + result.stderr)
        ISSUED.update(server_secrets())
        STORED_PROTECTED.update(server_secrets(with_mac_keys=False))
        self.test.assertEqual(result.returncode, expect,
                              "%s\nstdout: %s\nstderr: %s" % (args, result.stdout, result.stderr))
        return result

    def json(self, *args, **kwargs):
        return json.loads(self.run(*args, **kwargs).stdout)

    def settings_text(self):
        with open(self.settings, encoding="utf-8") as f:
            return f.read()


def unique_email(name):
    return "%s.%d@example.com" % (name, time.monotonic_ns())


class AccountLife(unittest.TestCase):
    def test_whole_life(self):
        device = Account(self)
        status = device.json("status")
        self.assertEqual(status["loginState"], "LoggedOut")
        self.assertFalse(status["isLoggedIn"])

        email = unique_email("ann")
        device.run("register", "--email", email, "--first-name", "Ann", "--last-name",
                   "Lee Smith", "--country", "Deutschland", "--password-stdin",
                   stdin=PASSWORD + "\n")
        status = device.json("status")
        self.assertEqual(status["loginState"], "PendingActivation")
        self.assertEqual(status["pendingActivationEmail"], email)
        self.assertTrue(status["clientId"])

        # Not activated yet: the check is refused and the registration stays pending.
        device.run("activate", expect=1)
        self.assertEqual(device.json("status")["loginState"], "PendingActivation")
        control("/dev/activate", email=email)
        device.run("activate")
        status = device.json("status")
        self.assertEqual(status["loginState"], "LoggedIn")
        self.assertEqual(status["pendingActivationEmail"], "")

        # A fresh login with the password, after forgetting everything.
        device.run("logout")
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        self.assertTrue(device.json("status")["isLoggedIn"])

        me = device.json("get", "/me")
        self.assertEqual(me["email"], email)
        self.assertEqual(me["last_name"], "Lee Smith")
        updated = device.json("put", "/me", json.dumps({"country": "Suisse"}))
        self.assertEqual(updated["country"], "Suisse")
        note = device.json("post", "/notes", stdin=json.dumps({"text": "grüße & <tags>"}))
        self.assertEqual(note["text"], "grüße & <tags>")
        self.assertIn(note, device.json("get", "/notes")["notes"])

        # Short-lived tokens: every call after the expiry refreshes (and rotates) the token.
        control("/dev/token-lifetime", seconds=1)
        try:
            before = server_secrets()
            device.json("get", "/me")
            time.sleep(1.5)
            result = device.run("get", "/me")
            self.assertRegex(result.stderr, r'refresh_token"? grant succeeded')
            self.assertNotEqual(before, server_secrets())
        finally:
            control("/dev/token-lifetime", seconds=3600)

        url = device.run("manage-url").stdout.strip()
        self.assertTrue(url.startswith(OAUTH + "/integration?login-token="), url)
        context = ssl.create_default_context(cafile=CA) if CA else None
        with urllib.request.urlopen(url, context=context) as page:
            self.assertIn(email, page.read().decode("utf-8"))

        pubnub = device.json("pubnub")
        self.assertTrue(pubnub.get("subscribe_key"))

        details = device.json("user-details")
        self.assertIsInstance(details, dict)

        # Secrets in the settings file only in protected form.
        text = device.settings_text()
        self.assertRegex(text, r"refresh_token=")
        self.assertTrue(STORED_PROTECTED)
        for secret in STORED_PROTECTED:
            self.assertNotIn(secret, text)
        self.assertNotIn(PASSWORD, text)

        device.run("logout")
        self.assertEqual(device.json("status")["loginState"], "LoggedOut")
        self.assertNotIn("client_id", device.settings_text())

    def test_wrong_password_reaches_the_user(self):
        email = unique_email("bob")
        control("/dev/create-account", email=email, password=PASSWORD)
        device = Account(self)
        result = device.run("login", email, "--password-stdin", stdin="wrong password\n",
                            expect=1)
        self.assertIn("Wrong e-mail address or password!", result.stderr)
        self.assertFalse(device.json("status")["isLoggedIn"])

    def test_registration_field_errors(self):
        device = Account(self)
        result = device.run("register", "--email", "not-an-address", "--first-name", "C",
                            "--last-name", "D", "--country", "X", "--password-stdin",
                            stdin="short\n", expect=1)
        errors = json.loads(result.stdout)
        self.assertIn("email", errors)
        self.assertIn("password", errors)
        self.assertEqual(device.json("status")["loginState"], "LoggedOut")

    def test_revoked_refresh_token_ends_the_session(self):
        email = unique_email("cid")
        control("/dev/create-account", email=email, password=PASSWORD)
        device = Account(self)
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        control("/dev/revoke", email=email)
        result = device.run("get", "/me", expect=1)
        self.assertIn("invalid_grant", result.stderr)
        status = device.json("status")
        self.assertFalse(status["isLoggedIn"])
        self.assertNotIn("refresh_token", device.settings_text())

    def test_request_the_server_rejects(self):
        email = unique_email("dee")
        control("/dev/create-account", email=email, password=PASSWORD)
        device = Account(self)
        device.run("login", email, "--password-stdin", stdin=PASSWORD + "\n")
        result = device.run("put", "/me", json.dumps({"email": "other@example.com"}), expect=1)
        self.assertTrue(result.stderr.strip())
        result = device.run("get", "/no-such-thing", expect=1)
        self.assertTrue(result.stderr.strip())
        self.assertTrue(device.json("status")["isLoggedIn"])  # a refused call keeps the login

    @classmethod
    def tearDownClass(cls):
        # With debug logging on in every call, no secret the server issued reached any output.
        everything = "\n".join(OUTPUTS)
        leaked = [s for s in ISSUED if s in everything]
        if PASSWORD in everything:
            leaked.append("the password")
        if leaked:
            raise AssertionError("secrets in zel-account's output: %d" % len(leaked))
        if not ISSUED:
            raise AssertionError("no secret was issued: the run did not reach the server")


if __name__ == "__main__":
    unittest.main(verbosity=2)
