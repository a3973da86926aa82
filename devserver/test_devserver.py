"""Drives both development servers over real sockets, the way the plug-in talks to them: no
redirect following, Basic credentials only after the challenge, MAC-signed API calls."""

import base64
import datetime
import hashlib
import hmac
import http.client
import json
import logging
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import unittest
from urllib.parse import parse_qs, quote, urlencode, urlsplit

from oauthlib.oauth2.rfc6749.tokens import prepare_mac_header

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import devserver  # noqa: E402
from devstate import State  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
FORM = "application/x-www-form-urlencoded"
IDENTITY = {"client_class_id": "Rb5Tq8WmZ3xKvN7pLh2Ds", "model_identifier": "PC",
            "device_identifier": "da39a3ee5e6b4b0d3255bfef95601890afd80709",
            "user_identifier": "5baa61e4c9b93f3f0682250b6cf8331b7ee68fd8", "device_name": "dev box"}


class Reply:
    def __init__(self, response):
        self.status, self.reason = response.status, response.reason
        self.headers = response.headers
        self.body = response.read()
        self.cookies = {}
        for line in response.headers.get_all("Set-Cookie") or []:
            name, _, value = line.split(";", 1)[0].partition("=")
            self.cookies[name.strip()] = value.strip()

    def json(self):
        return json.loads(self.body)


def call(origin, method, target, body=b"", headers=None, context=None):
    parts = urlsplit(origin)
    if parts.scheme == "https":
        connection = http.client.HTTPSConnection(parts.hostname, parts.port, context=context)
    else:
        connection = http.client.HTTPConnection(parts.hostname, parts.port)
    try:
        connection.request(method, target, body=body, headers=headers or {})
        return Reply(connection.getresponse())
    finally:
        connection.close()


def basic(client_id, secret):
    return {"Authorization": "Basic " + base64.b64encode(
        ("%s:%s" % (client_id, secret)).encode()).decode()}


def qt_style_header(token, method, host, port, target, body, nonce="0:" + "ab" * 20):
    """The header as the plug-in builds it, written from the wire format rather than with
    oauthlib: no spaces after the commas, bodyhash always present."""
    digest = hashlib.sha1 if token["algorithm"].lower() == "hmac-sha-1" else hashlib.sha256
    bodyhash = base64.b64encode(digest(body).digest()).decode()
    normalized = "%s\n%s\n%s\n%s\n%s\n%s\n\n" % (nonce, method.upper(), target, host.lower(), port,
                                                 bodyhash)
    mac = base64.b64encode(hmac.new(token["secret"].encode(), normalized.encode(),
                                    digest).digest()).decode()
    return 'MAC id="%s",nonce="%s",bodyhash="%s",mac="%s"' % (
        token["access_token"], nonce, bodyhash, mac)


class ServerTestCase(unittest.TestCase):
    """Both servers in this process on free ports, with a clock the tests can move."""

    def setUp(self):
        self.now = [1_000_000.0]
        self.state = State(token_lifetime=3600, clock=lambda: self.now[0])
        self.server = devserver.DevServer(self.state)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.oauth, self.api = self.server.oauth.origin, self.server.api.origin
        self.log = []
        handler = logging.Handler()
        handler.emit = lambda record: self.log.append(record.getMessage())
        logger = logging.getLogger("devserver")
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
        self.addCleanup(logger.removeHandler, handler)

    # The plug-in's steps

    def register_client(self, **identity):
        reply = call(self.oauth, "POST", "/oauth/credentials",
                     urlencode(dict(IDENTITY, **identity)), {"Content-Type": FORM})
        self.assertIn(reply.status, (200, 201))
        credentials = reply.json()
        return credentials["client_id"], credentials["client_secret"]

    def login_path(self, client_id, response_type="code"):
        return "/login?response_type=%s&redirect_uri=%s&client_id=%s" % (
            response_type, quote("zel://authorize", safe=""), quote(client_id, safe=""))

    def post_form(self, path, form_reply, fields, token=None):
        cookie = form_reply.cookies.get("__anti-forgery-token", "")
        body = urlencode(fields) + "&__anti-forgery-token=" + (cookie if token is None else token)
        return call(self.oauth, "POST", path, body, {
            "Content-Type": FORM, "Accept": "application/json",
            "Cookie": "__anti-forgery-token=" + cookie})

    def login(self, client_id, email, password):
        path = self.login_path(client_id)
        page = call(self.oauth, "GET", path, headers={"Content-Type": "text/html"})
        return self.post_form(path, page, {"identifier": email, "password": password})

    def code_for(self, client_id, email, password):
        reply = self.login(client_id, email, password)
        self.assertEqual(reply.status, 302, reply.body)
        location = reply.headers["Location"]
        self.assertTrue(location.startswith("zel://authorize?"), location)
        return parse_qs(urlsplit(location).query)["code"][0]

    def grant(self, credentials, **form):
        # The plug-in sends its credentials only after the challenge.
        first = call(self.oauth, "POST", "/oauth/token", urlencode(form), {"Content-Type": FORM})
        self.assertEqual(first.status, 401)
        self.assertTrue(first.headers["WWW-Authenticate"].startswith("Basic realm="))
        return call(self.oauth, "POST", "/oauth/token", urlencode(form),
                    dict(basic(*credentials), **{"Content-Type": FORM}))

    def logged_in(self, email="ann@example.com", password="correct horse"):
        self.state.create_account(email, password, "Ann", "Smith", "Germany", False, active=True)
        credentials = self.register_client()
        code = self.code_for(credentials[0], email, password)
        reply = self.grant(credentials, grant_type="authorization_code", code=code,
                           redirect_uri="zel://authorize")
        self.assertEqual(reply.status, 200, reply.body)
        return credentials, reply.json()

    def api_call(self, token, method, target, body=b"", sign_body=None, header=None):
        uri = self.api + target
        text = (body if sign_body is None else sign_body).decode()
        if header is None:
            header = prepare_mac_header(token["access_token"], uri, token["secret"], method,
                                        body=text, hash_algorithm=token["algorithm"],
                                        issue_time=datetime.datetime.now())["Authorization"]
        return call(self.api, method, target, body, {
            "Authorization": header, "Content-Type": "application/json",
            "Accept": "application/json"})


class CredentialsAndLoginTest(ServerTestCase):
    def test_credentials_are_issued_per_device_identity(self):
        first = self.register_client()
        self.assertEqual(self.register_client(), first)
        self.assertNotEqual(self.register_client(user_identifier="someone else")[0], first[0])
        missing = call(self.oauth, "POST", "/oauth/credentials", "model_identifier=PC",
                       {"Content-Type": FORM})
        self.assertEqual((missing.status, missing.json()["error"]), (400, "invalid_request"))

    def test_login_form_carries_the_same_token_in_cookie_and_hidden_input(self):
        client_id, _ = self.register_client()
        page = call(self.oauth, "GET", self.login_path(client_id))
        self.assertEqual(page.status, 200)
        token = page.cookies["__anti-forgery-token"]
        self.assertIn('<input type="hidden" name="__anti-forgery-token" value="%s">' % token,
                      page.body.decode())

    def test_login_outcomes(self):
        self.state.create_account("ann@example.com", "correct horse", "Ann", "S", "DE", False,
                                  active=True)
        self.state.create_account("bob@example.com", "correct horse", "Bob", "S", "DE", False)
        client_id, _ = self.register_client()
        wrong = self.login(client_id, "ann@example.com", "wrong horse")
        self.assertEqual(wrong.status, 200)
        self.assertEqual(wrong.cookies["flash-error"], "Wrong+e-mail+address+or+password%21")
        inactive = self.login(client_id, "bob@example.com", "correct horse")
        self.assertEqual(inactive.status, 200)
        self.assertIn("not+activated", inactive.cookies["flash-error"])
        # The flash message is shown, decoded, when the form is loaded again.
        again = call(self.oauth, "GET", self.login_path(client_id),
                     headers={"Cookie": "flash-error=" + wrong.cookies["flash-error"]})
        self.assertIn("Wrong e-mail address or password!", again.body.decode())

        path = self.login_path(client_id)
        page = call(self.oauth, "GET", path)
        fields = {"identifier": "ANN@example.com", "password": "correct horse"}
        self.assertEqual(self.post_form(path, page, fields, token="forged").status, 403)
        self.assertEqual(self.post_form(path, page, fields, token="").status, 403)
        self.assertEqual(self.post_form(path, page, fields).status, 302)

    def test_login_refuses_bad_authorization_requests(self):
        client_id, _ = self.register_client()
        unknown = call(self.oauth, "GET", self.login_path("nobody"))
        self.assertEqual(unknown.status, 400)
        self.assertNotIn("Location", unknown.headers)
        implicit = call(self.oauth, "GET", self.login_path(client_id, response_type="token"))
        self.assertEqual(implicit.status, 302)
        self.assertEqual(implicit.headers["Location"],
                         "zel://authorize?error=unsupported_response_type")


class TokenEndpointTest(ServerTestCase):
    def test_token_answer_is_a_mac_token(self):
        _, token = self.logged_in()
        self.assertEqual(token["token_type"], "mac")
        self.assertEqual(token["algorithm"], "hmac-sha-256")
        self.assertEqual(token["expires_in"], 3600)
        for name in ("access_token", "refresh_token", "secret"):
            self.assertTrue(token[name])

    def test_token_lifetime_switch(self):
        credentials, token = self.logged_in()
        self.assertEqual(call(self.oauth, "POST", "/dev/token-lifetime?seconds=5").status, 200)
        renewed = self.grant(credentials, grant_type="refresh_token",
                             refresh_token=token["refresh_token"]).json()
        self.assertEqual(renewed["expires_in"], 5)
        self.now[0] += 5
        self.assertEqual(self.api_call(renewed, "GET", "/me").status, 401)
        self.assertEqual(self.api_call(token, "GET", "/me").status, 200)

    def test_refusals(self):
        credentials, _ = self.logged_in()
        wrong_secret = call(self.oauth, "POST", "/oauth/token", "grant_type=client_credentials",
                            dict(basic(credentials[0], "nope"), **{"Content-Type": FORM}))
        self.assertEqual((wrong_secret.status, wrong_secret.json()["error"]),
                         (401, "invalid_client"))
        self.assertIn("WWW-Authenticate", wrong_secret.headers)
        code = self.code_for(credentials[0], "ann@example.com", "correct horse")
        other = self.register_client(device_identifier="other")
        cases = [
            (credentials, {"grant_type": "password"}, "unsupported_grant_type"),
            (credentials, {"code": code}, "invalid_request"),
            (credentials, {"grant_type": "authorization_code", "code": code,
                           "redirect_uri": "zel://elsewhere"}, "invalid_grant"),
            (other, {"grant_type": "authorization_code", "code": code,
                     "redirect_uri": "zel://authorize"}, "invalid_grant"),
            (credentials, {"grant_type": "refresh_token", "refresh_token": "made-up"},
             "invalid_grant"),
            (other, {"grant_type": "client_credentials"}, "unauthorized_client"),
        ]
        for who, form, error in cases:
            with self.subTest(form=form):
                reply = self.grant(who, **form)
                self.assertEqual((reply.status, reply.json()["error"]), (400, error))
        self.now[0] += 61  # codes are short-lived
        late = self.grant(credentials, grant_type="authorization_code", code=code,
                          redirect_uri="zel://authorize")
        self.assertEqual(late.json()["error"], "invalid_grant")

    def test_a_reused_code_revokes_its_tokens(self):
        credentials, token = self.logged_in()
        code = self.code_for(credentials[0], "ann@example.com", "correct horse")
        form = {"grant_type": "authorization_code", "code": code, "redirect_uri": "zel://authorize"}
        second = self.grant(credentials, **form).json()
        self.assertEqual(self.grant(credentials, **form).json()["error"], "invalid_grant")
        self.assertEqual(self.api_call(second, "GET", "/me").status, 401)
        self.assertEqual(self.api_call(token, "GET", "/me").status, 200)

    def test_refresh_tokens_rotate_and_can_be_revoked(self):
        credentials, token = self.logged_in()
        renewed = self.grant(credentials, grant_type="refresh_token",
                             refresh_token=token["refresh_token"])
        self.assertEqual(renewed.status, 200)
        old = self.grant(credentials, grant_type="refresh_token",
                         refresh_token=token["refresh_token"])
        self.assertEqual((old.status, old.json()["error"]), (400, "invalid_grant"))
        revoke = call(self.oauth, "POST", "/dev/revoke?email=ann@example.com")
        self.assertEqual(revoke.json()["revoked"], 1)
        refused = self.grant(credentials, grant_type="refresh_token",
                             refresh_token=renewed.json()["refresh_token"])
        self.assertEqual((refused.status, refused.json()["error"]), (400, "invalid_grant"))
        # Revoking refresh tokens leaves the access token usable until it expires.
        self.assertEqual(self.api_call(renewed.json(), "GET", "/me").status, 200)


class RegistrationTest(ServerTestCase):
    FIELDS = {"email": "new@example.com", "password": "long enough", "first-name": "Nia",
              "last-name": "Nu", "country": "Deutschland", "send-newsletter": "yes",
              "accept-terms": "yes"}

    def register(self, client_id, **changes):
        path = "/register?client_id=" + quote(client_id, safe="")
        page = call(self.oauth, "GET", path, headers={"Content-Type": "text/html"})
        self.assertEqual(page.status, 200)
        self.assertIn('name="__anti-forgery-token" value="%s"' % page.cookies[
            "__anti-forgery-token"], page.body.decode())
        return self.post_form(path, page, dict(self.FIELDS, **changes))

    def test_field_errors(self):
        client_id, _ = self.register_client()
        self.state.create_account("taken@example.com", "whatever1", "T", "T", "DE", False)
        reply = self.register(client_id, email="taken@EXAMPLE.com", password="short",
                              **{"first-name": " ", "accept-terms": "no"})
        self.assertEqual(reply.status, 422)
        errors = reply.json()
        self.assertEqual(set(errors), {"email", "password", "first-name", "accept-terms"})
        self.assertTrue(all(isinstance(e["error"], str) for e in errors["password"]))
        self.assertEqual(set(self.register(client_id, email="no-at-sign").json()), {"email"})
        self.assertEqual(call(self.oauth, "GET", "/register?client_id=nobody").status, 400)

    def test_registration_activation_and_client_credentials_login(self):
        credentials = self.register_client()
        reply = self.register(credentials[0])
        self.assertEqual(reply.status, 302)
        self.assertEqual(reply.headers["Location"], "/checkyouremails")
        self.assertEqual(self.login(credentials[0], "new@example.com", "long enough").status, 200)
        pending = self.grant(credentials, grant_type="client_credentials")
        self.assertEqual((pending.status, pending.json()["error"]), (400, "unauthorized_client"))

        link = [line for line in self.log if "activation link" in line]
        self.assertEqual(len(link), 1)
        activation = call(self.oauth, "GET", link[0].rsplit(self.oauth, 1)[1])
        self.assertEqual(activation.status, 200)

        activated = self.grant(credentials, grant_type="client_credentials")
        self.assertEqual(activated.status, 200, activated.body)
        profile = self.api_call(activated.json(), "GET", "/me").json()
        self.assertEqual((profile["email"], profile["send_newsletter"]), ("new@example.com", True))
        # The device's claim on the account ends with that login.
        again = self.grant(credentials, grant_type="client_credentials")
        self.assertEqual(again.status, 400)

    def test_dev_activate(self):
        credentials = self.register_client()
        self.register(credentials[0], email="dev@example.com")
        for email, status in (("nobody@x.org", 404), ("dev@example.com", 200)):
            self.assertEqual(call(self.oauth, "POST", "/dev/activate?email=" + email).status, status)
        self.assertEqual(self.login(credentials[0], "dev@example.com", "long enough").status, 302)


class ApiTest(ServerTestCase):
    def test_profile_and_notes(self):
        _, token = self.logged_in()
        self.assertEqual(self.api_call(token, "GET", "/me").json()["first_name"], "Ann")
        updated = self.api_call(token, "PUT", "/me", b'{"first_name": "Anna", "theme": "dark"}')
        self.assertEqual((updated.json()["first_name"], updated.json()["theme"]), ("Anna", "dark"))
        self.assertEqual(self.api_call(token, "PUT", "/me", b'{"email": "x@y.z"}').status, 400)
        created = self.api_call(token, "POST", "/notes", '{"text": "héllo"}'.encode())
        self.assertEqual(created.status, 201)
        self.assertEqual(created.json()["text"], "héllo")
        notes = self.api_call(token, "GET", "/notes").json()["notes"]
        self.assertEqual([n["id"] for n in notes], [created.json()["id"]])
        target = "/notes/%d" % created.json()["id"]
        self.assertEqual(self.api_call(token, "DELETE", target).status, 200)
        self.assertEqual(self.api_call(token, "DELETE", target).status, 404)
        self.assertEqual(self.api_call(token, "POST", "/notes", b"[1]").status, 400)
        missing = self.api_call(token, "GET", "/nothing-here")
        self.assertEqual((missing.status, missing.headers["Content-Type"]),
                         (404, "application/json"))

    def test_header_written_like_the_plugin_is_accepted(self):
        # Known answer from the wire format: guards the agreement between oauthlib's normalized
        # string and the plug-in's (path?query, lower-case host, port, bodyhash, empty ext).
        _, token = self.logged_in()
        port = self.server.api.port
        for method, target, body in (("GET", "/me", b""), ("POST", "/notes", b'{"a": 1}'),
                                     ("GET", "/notes?x=%3D&y=1", b"")):
            with self.subTest(target=target):
                header = qt_style_header(token, method, "127.0.0.1", port, target, body,
                                         nonce="0:" + hashlib.sha1(target.encode()).hexdigest())
                reply = self.api_call(token, method, target, body, header=header)
                self.assertIn(reply.status, (200, 201), reply.body)
        # Qt signs the query as it shows it: a space decoded, delimiters kept encoded.
        header = qt_style_header(token, "GET", "127.0.0.1", port, "/notes?q=a b%26c", b"")
        self.assertEqual(self.api_call(token, "GET", "/notes?q=a%20b%26c", header=header).status,
                         200)

    def test_refusals_are_401_with_a_json_error(self):
        _, token = self.logged_in()
        port = self.server.api.port
        good = self.api_call(token, "GET", "/me")
        self.assertEqual(good.status, 200)
        cases = {
            "no header": "",
            "unknown id": qt_style_header(dict(token, access_token="unknown"), "GET", "127.0.0.1",
                                          port, "/me", b""),
            "other key": qt_style_header(dict(token, secret="other"), "GET", "127.0.0.1", port,
                                         "/me", b""),
            "other path": qt_style_header(token, "GET", "127.0.0.1", port, "/notes", b""),
            "other port": qt_style_header(token, "GET", "127.0.0.1", 443, "/me", b""),
            "other method": qt_style_header(token, "DELETE", "127.0.0.1", port, "/me", b""),
            "replayed nonce": qt_style_header(token, "GET", "127.0.0.1", port, "/me", b"",
                                              nonce="5:" + "cd" * 20),
        }
        self.assertEqual(self.api_call(token, "GET", "/me", header=cases["replayed nonce"]).status,
                         200)
        for name, header in cases.items():
            with self.subTest(name):
                reply = self.api_call(token, "GET", "/me", header=header)
                self.assertEqual(reply.status, 401)
                self.assertEqual(reply.json()["error"], "invalid_token")
        tampered = self.api_call(token, "POST", "/notes", b'{"a": 2}', sign_body=b'{"a": 1}')
        self.assertEqual(tampered.status, 401)
        self.assertIn("Body hash", tampered.json()["error_description"])
        self.now[0] += 3600
        self.assertEqual(self.api_call(token, "GET", "/me").json()["error_description"],
                         "Access token expired")

    def test_mac_algorithm_per_client(self):
        credentials, _ = self.logged_in()
        switch = call(self.oauth, "POST", "/dev/mac-algorithm?" + urlencode(
            {"client_id": credentials[0], "algorithm": "hmac-sha-1"}))
        self.assertEqual(switch.status, 200)
        code = self.code_for(credentials[0], "ann@example.com", "correct horse")
        token = self.grant(credentials, grant_type="authorization_code", code=code,
                           redirect_uri="zel://authorize").json()
        self.assertEqual(token["algorithm"], "hmac-sha-1")
        header = qt_style_header(token, "GET", "127.0.0.1", self.server.api.port, "/me", b"")
        self.assertEqual(len(base64.b64decode(header.rsplit('mac="', 1)[1][:-1])), 20)
        self.assertEqual(self.api_call(token, "GET", "/me", header=header).status, 200)
        self.assertEqual(call(self.oauth, "POST", "/dev/mac-algorithm?algorithm=md5").status, 400)

    def test_pubnub_config_and_manage_account_page(self):
        credentials, token = self.logged_in()
        self.assertEqual(call(self.oauth, "GET", "/config/pubnub").headers["WWW-Authenticate"],
                         'Basic realm="zel devserver"')
        config = call(self.oauth, "GET", "/config/pubnub",
                      headers=dict(basic(*credentials), Accept="application/json"))
        self.assertEqual(config.status, 200)
        self.assertIn(credentials[0], config.json()["channel"])

        login_token = self.api_call(token, "POST", "/login-token").json()["token"]
        target = "/integration?login-token=" + login_token
        page = call(self.oauth, "GET", target)
        self.assertEqual(page.status, 200)
        self.assertIn("ann@example.com", page.body.decode())
        self.assertEqual(call(self.oauth, "GET", target).status, 404)

    def test_log_holds_no_secrets(self):
        credentials, token = self.logged_in()
        self.api_call(token, "GET", "/me")
        login_token = self.api_call(token, "POST", "/login-token").json()["token"]
        call(self.oauth, "GET", "/integration?login-token=" + login_token)
        text = "\n".join(self.log)
        self.assertIn("/integration", text)
        for secret in (credentials[1], token["access_token"], token["refresh_token"],
                       token["secret"], login_token, "correct horse", quote("correct horse")):
            self.assertNotIn(secret, text)


class CommandLineTest(unittest.TestCase):
    def start(self, *args):
        process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "devserver.py"), *args],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.wait, 10)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        line = process.stdout.readline().split()
        self.assertEqual(line[0], "READY", line)
        return process, dict(item.split("=", 1) for item in line[1:])

    def test_https_ready_file_state_and_sigterm(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        ready = os.path.join(directory.name, "ready.json")
        state = os.path.join(directory.name, "state.json")
        certs = os.path.join(directory.name, "certs")
        process, origins = self.start("--cert-dir", certs, "--ready-file", ready, "--state", state,
                                      "--account", "cli@example.com:pass word")
        with open(ready) as f:
            info = json.load(f)
        self.assertEqual({k: info[k] for k in origins}, origins)
        self.assertTrue(origins["oauth"].startswith("https://127.0.0.1:"))
        self.assertNotEqual(origins["oauth"], origins["api"])
        context = ssl.create_default_context(cafile=origins["ca"])
        reply = call(origins["oauth"], "POST", "/oauth/credentials", urlencode(IDENTITY),
                     {"Content-Type": FORM}, context=context)
        credentials = reply.json()
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(10), 0)

        # Restarted on the same state and certificate directory: same CA, same device.
        process, again = self.start("--cert-dir", certs, "--state", state)
        self.assertEqual(again["ca"], origins["ca"])
        context = ssl.create_default_context(cafile=again["ca"])
        reply = call(again["oauth"], "GET", "/config/pubnub", context=context,
                     headers=basic(credentials["client_id"], credentials["client_secret"]))
        self.assertEqual(reply.status, 200)
        account = call(again["oauth"], "GET", "/dev/account?email=cli@example.com",
                       context=context).json()
        self.assertTrue(account["active"])
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(10), 0)
        with open(state) as f:
            self.assertNotIn("pass word", f.read())


if __name__ == "__main__":
    unittest.main()
