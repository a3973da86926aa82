# Drives both development servers over real sockets, the way the plug-in talks to them: no
# redirect following, Basic client credentials sent up front, MAC-signed API calls. The
# whole account life through the real plug-in is the end-to-end suite's (tests/e2e); this keeps
# the server's own rules that it cannot provoke: MAC verification, grant and form refusals.

import base64
import datetime
import hashlib
import hmac
import http.client
import json
import unittest
from urllib.parse import parse_qs, quote, urlencode, urlsplit

from oauthlib.oauth2.rfc6749.tokens import prepare_mac_header

import devserver
from devstate import State

FORM = "application/x-www-form-urlencoded"
IDENTITY = {"client_class_id": "Rb5Tq8WmZ3xKvN7pLh2Ds", "model_identifier": "PC",
            "device_identifier": "da39a3ee5e6b4b0d3255bfef95601890afd80709",
            "user_identifier": "5baa61e4c9b93f3f0682250b6cf8331b7ee68fd8", "device_name": "dev box"}
CODE_FORM = {"grant_type": "authorization_code", "redirect_uri": "zel://authorize"}
LOGIN = "/login?response_type=%s&redirect_uri=zel%%3A%%2F%%2Fauthorize&client_id=%s"


def call(origin, method, target, body=b"", headers=None):
    # One request on a connection of its own; the reply comes with its body and cookies read.
    connection = http.client.HTTPConnection(urlsplit(origin).netloc)
    connection.request(method, target, body=body, headers=headers or {})
    reply = connection.getresponse()
    reply.body = reply.read()
    reply.cookies = dict(line.split(";", 1)[0].split("=", 1)
                         for line in reply.headers.get_all("Set-Cookie") or [])
    reply.json = lambda: json.loads(reply.body)
    connection.close()
    return reply


# The header as the plug-in builds it, written from the wire format rather than with oauthlib:
# no spaces after the commas, bodyhash always present.
def qt_style_header(token, method, port, target, body=b"", nonce="0:" + "ab" * 20):
    digest = hashlib.sha1 if token["algorithm"] == "hmac-sha-1" else hashlib.sha256
    bodyhash = base64.b64encode(digest(body).digest()).decode()
    normalized = "%s\n%s\n%s\n127.0.0.1\n%s\n%s\n\n" % (nonce, method, target, port, bodyhash)
    mac = base64.b64encode(hmac.digest(token["secret"].encode(), normalized.encode(), digest))
    return 'MAC id="%s",nonce="%s",bodyhash="%s",mac="%s"' % (token["access_token"], nonce,
                                                              bodyhash, mac.decode())


class DevServerTest(unittest.TestCase):  # both servers on free ports, with a clock to move
    def setUp(self):
        self.now = [1_000_000.0]
        self.state = State(token_lifetime=3600, clock=lambda: self.now[0])
        self.server = devserver.DevServer(self.state)
        self.server.start()
        self.addCleanup(self.server.stop)
        self.oauth, self.api, self.port = (self.server.oauth.origin, self.server.api.origin,
                                           self.server.api.port)
        for email, active in (("ann@example.com", True), ("bob@example.com", False)):
            self.state.create_account(email, "correct horse", "A", "S", "DE", False, active=active)

    def register_client(self, **identity):
        reply = call(self.oauth, "POST", "/oauth/credentials", urlencode({**IDENTITY, **identity}),
                     {"Content-Type": FORM}).json()
        return reply["client_id"], reply["client_secret"]

    def post_form(self, path, fields, token=None):  # with the form page's anti-forgery token
        page = call(self.oauth, "GET", path, headers={"Content-Type": "text/html"})
        cookie = page.cookies.get("__anti-forgery-token", "")
        body = urlencode({**fields, "__anti-forgery-token": cookie if token is None else token})
        return call(self.oauth, "POST", path, body, {"Content-Type": FORM, "Accept":
                    "application/json", "Cookie": "__anti-forgery-token=" + cookie})

    def login(self, client_id, email="ann@example.com", password="correct horse", token=None):
        return self.post_form(LOGIN % ("code", client_id),
                              {"identifier": email, "password": password}, token)

    def code_for(self, client_id):
        reply = self.login(client_id)
        self.assertEqual(reply.status, 302, reply.body)
        return parse_qs(urlsplit(reply.headers["Location"]).query)["code"][0]

    def grant(self, credentials, secret=None, **form):  # Basic credentials up front
        basic = base64.b64encode(("%s:%s" % (credentials[0], secret or credentials[1])).encode())
        return call(self.oauth, "POST", "/oauth/token", urlencode(form),
                    {"Content-Type": FORM, "Authorization": "Basic " + basic.decode()})

    def logged_in(self):
        credentials = self.register_client()
        reply = self.grant(credentials, code=self.code_for(credentials[0]), **CODE_FORM)
        self.assertEqual(reply.status, 200, reply.body)
        return credentials, reply.json()

    def api_call(self, token, method, target, body=b"", sign_body=None, header=None):
        # Unless given a header, signs with oauthlib, an implementation independent of the server.
        header = header if header is not None else prepare_mac_header(
            token["access_token"], self.api + target, token["secret"], method,
            body=(sign_body or body).decode(), hash_algorithm=token["algorithm"],
            issue_time=datetime.datetime.now())["Authorization"]
        return call(self.api, method, target, body, {"Authorization": header})

    def test_form_refusals(self):
        client_id, _ = self.register_client()
        wrong = "Wrong+e-mail+address+or+password%21"
        for name, email, token, status, flash in (
                ("wrong password", "ann@example.com", None, 200, wrong),
                ("not activated", "bob@example.com", None, 200, "not+activated"),
                ("forged anti-forgery token", "ANN@example.com", "forged", 403, None),
                ("no anti-forgery token", "ANN@example.com", "", 403, None),
                ("address in capitals", "ANN@example.com", None, 302, None)):
            with self.subTest(name):
                password = "wrong horse" if name == "wrong password" else "correct horse"
                reply = self.login(client_id, email, password, token)
                self.assertEqual(reply.status, status)
                self.assertIn(flash or "", reply.cookies.get("flash-error", ""))
        # Unknown clients get no redirect; other response types are refused by redirect.
        unknown = call(self.oauth, "GET", LOGIN % ("code", "nobody"))
        self.assertEqual((unknown.status, unknown.headers["Location"]), (400, None))
        implicit = call(self.oauth, "GET", LOGIN % ("token", client_id))
        self.assertEqual(implicit.headers["Location"],
                         "zel://authorize?error=unsupported_response_type")
        # Registration errors that the plug-in cannot provoke (others: tests/e2e).
        reply = self.post_form("/register?client_id=" + client_id, {
            "email": "bob@EXAMPLE.com", "password": "long enough", "first-name": " ",
            "last-name": "Nu", "country": "DE", "send-newsletter": "yes", "accept-terms": "no"})
        self.assertEqual((reply.status, set(reply.json())),
                         (422, {"email", "first-name", "accept-terms"}))
        self.assertEqual(call(self.oauth, "GET", "/register?client_id=nobody").status, 400)

    def test_grant_refusals(self):
        credentials, token = self.logged_in()
        # Without credentials the client is challenged, and counted: the end-to-end suite
        # relies on the count to show that the plug-in sends them up front.
        challenged = call(self.oauth, "POST", "/oauth/token", "grant_type=client_credentials",
                          {"Content-Type": FORM})
        self.assertEqual(challenged.status, 401)
        self.assertTrue(challenged.headers["WWW-Authenticate"].startswith("Basic realm="))
        self.assertEqual(call(self.oauth, "GET", "/dev/challenges").json()["/oauth/token"], 1)
        missing = call(self.oauth, "POST", "/oauth/credentials", "model_identifier=PC",
                       {"Content-Type": FORM})
        self.assertEqual((missing.status, missing.json()["error"]), (400, "invalid_request"))
        wrong = self.grant(credentials, "nope", grant_type="client_credentials")
        self.assertEqual((wrong.status, wrong.json()["error"], "WWW-Authenticate" in wrong.headers),
                         (401, "invalid_client", True))
        code = self.code_for(credentials[0])
        other = self.register_client(device_identifier="other")
        for who, form, error in [
                (credentials, {"grant_type": "password"}, "unsupported_grant_type"),
                (credentials, {"code": code}, "invalid_request"),
                (credentials, dict(CODE_FORM, code=code, redirect_uri="zel://x"), "invalid_grant"),
                (other, dict(CODE_FORM, code=code), "invalid_grant"),
                (credentials, {"grant_type": "refresh_token", "refresh_token": "x"},
                 "invalid_grant"),
                (other, {"grant_type": "client_credentials"}, "unauthorized_client")]:
            with self.subTest(form=form):
                reply = self.grant(who, **form)
                self.assertEqual((reply.status, reply.json()["error"]), (400, error))
        # A code used twice revokes what it gave the first time, and only that.
        second = self.grant(credentials, code=code, **CODE_FORM).json()
        self.assertEqual(self.grant(credentials, code=code, **CODE_FORM).status, 400)
        self.assertEqual(self.api_call(second, "GET", "/me").status, 401)
        self.assertEqual(self.api_call(token, "GET", "/me").status, 200)
        # Refresh tokens rotate: the old one is refused once used.
        form = {"grant_type": "refresh_token", "refresh_token": token["refresh_token"]}
        self.assertEqual(self.grant(credentials, **form).status, 200)
        self.assertEqual(self.grant(credentials, **form).json()["error"], "invalid_grant")
        code = self.code_for(credentials[0])
        self.now[0] += 61  # codes are short-lived
        self.assertEqual(self.grant(credentials, code=code, **CODE_FORM).json()["error"],
                         "invalid_grant")

    def test_header_written_like_the_plugin_is_accepted(self):
        # Known answer from the wire format: guards the agreement between oauthlib's normalized
        # string and the plug-in's (path?query, lower-case host, port, bodyhash, empty ext), for
        # both algorithms (chosen per client).
        credentials, token = self.logged_in()
        switch = "/dev/mac-algorithm?algorithm=hmac-sha-1&client_id=" + quote(credentials[0])
        self.assertEqual(call(self.oauth, "POST", switch).status, 200)
        sha1 = self.grant(credentials, code=self.code_for(credentials[0]), **CODE_FORM).json()
        self.assertEqual((token["algorithm"], sha1["algorithm"]), ("hmac-sha-256", "hmac-sha-1"))
        self.assertEqual(call(self.oauth, "POST", "/dev/mac-algorithm?algorithm=md5").status, 400)
        # Qt signs the query as it shows it: a space decoded, delimiters kept encoded.
        for token in (token, sha1):
            self.assertEqual(self.api_call(token, "GET", "/me").status, 200)  # oauthlib's
            for method, target, body in (("GET", "/me", b""), ("POST", "/notes", b'{"a": 1}'),
                                         ("GET", "/notes?x=%3D&y=1", b""),
                                         ("GET", "/notes?q=a b%26c", b"")):
                header = qt_style_header(token, method, self.port, target, body, nonce="0:"
                                         + hashlib.sha1((method + target).encode()).hexdigest())
                reply = self.api_call(token, method, target.replace(" ", "%20"), body,
                                      header=header)
                self.assertIn(reply.status, (200, 201), reply.body)

    def test_mac_refusals_are_401_with_a_json_error(self):
        _, token = self.logged_in()
        replayed = qt_style_header(token, "GET", self.port, "/me", nonce="5:" + "cd" * 20)
        self.assertEqual(self.api_call(token, "GET", "/me", header=replayed).status, 200)
        # One signed for another method, path or port fails like one with another key: the
        # server signs those as the plug-in does (test_header_written_like_the_plugin_...).
        for header in ("", replayed,
                       qt_style_header(dict(token, access_token="x"), "GET", self.port, "/me"),
                       qt_style_header(dict(token, secret="other"), "GET", self.port, "/me")):
            reply = self.api_call(token, "GET", "/me", header=header)
            self.assertEqual((reply.status, reply.json()["error"]), (401, "invalid_token"), header)
        tampered = self.api_call(token, "POST", "/notes", b'{"a": 2}', sign_body=b'{"a": 1}')
        self.assertEqual(tampered.status, 401)
        self.assertIn("Body hash", tampered.json()["error_description"])
        self.now[0] += 3600
        self.assertEqual(self.api_call(token, "GET", "/me").json()["error_description"],
                         "Access token expired")

    def test_log_holds_no_secrets(self):
        with self.assertLogs("devserver", "INFO") as logs:
            credentials, token = self.logged_in()
            login_token = self.api_call(token, "POST", "/login-token").json()["token"]
            call(self.oauth, "GET", "/integration?login-token=" + login_token)
        text = "\n".join(logs.output)
        self.assertIn("/integration", text)
        self.assertFalse([secret for secret in (
            credentials[1], token["access_token"], token["refresh_token"], token["secret"],
            login_token, "correct horse", quote("correct horse")) if secret in text])


if __name__ == "__main__":
    unittest.main()
