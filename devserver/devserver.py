#!/usr/bin/python3
"""Local reference server for the account plug-in: the OAuth/web server and the API server on two
loopback ports, for development, demos and end-to-end tests. See README.md next to this file."""

import argparse
import json
import logging
import os
import re
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
from http import HTTPStatus

from werkzeug.serving import ThreadedWSGIServer, WSGIRequestHandler

from apiapp import create_api_app
from devstate import MAC_ALGORITHMS, PASSWORD_ITERATIONS, State
from oauthweb import create_oauth_app

HOST = "127.0.0.1"
log = logging.getLogger("devserver")

# Query parameters whose values never reach the log.
_SECRET_PARAM = re.compile(
    r"([?&](?:login-token|token|code|password|refresh_token|access_token|client_secret)=)[^&\s\"]*")


def redact(text):
    return _SECRET_PARAM.sub(r"\1***", text)


class RequestHandler(WSGIRequestHandler):
    timeout = 60  # an idle kept-alive connection does not hold its thread for ever

    def setup(self):
        super().setup()
        self.tls_failed = False
        if isinstance(self.connection, ssl.SSLSocket):
            # The handshake runs here, in the request's own thread, so that a client that stalls
            # or rejects the certificate cannot block the accepting thread.
            try:
                self.connection.do_handshake()
            except OSError as error:
                self.tls_failed = True
                self.log("info", "TLS handshake failed: %s", error)

    def handle(self):
        if not self.tls_failed:
            super().handle()

    def log_request(self, code="-", size="-"):
        self.log("info", '"%s %s" %s', self.command, getattr(self, "path", "?"), code)

    def log(self, type, message, *args):
        text = redact(message % args if args else message)
        getattr(logging.getLogger("devserver.http"), type, log.info)(
            "%s %s", self.server.name, text)


def standard_reason_phrases(app):
    """werkzeug writes reason phrases in capitals ("401 UNAUTHORIZED"); clients show the phrase to
    users, so send the usual spelling of RFC 9110."""

    def wrapped(environ, start_response):
        def start(status, headers, exc_info=None):
            code = int(status.split(None, 1)[0])
            try:
                status = "%d %s" % (code, HTTPStatus(code).phrase)
            except ValueError:
                pass
            return start_response(status, headers, exc_info)

        return app(environ, start)

    return wrapped


class Server(ThreadedWSGIServer):
    def __init__(self, name, port, app, tls):
        super().__init__(HOST, port, standard_reason_phrases(app), RequestHandler)
        self.name = name
        self.tls = tls
        self.ssl_context = tls  # werkzeug derives the URL scheme from it

    def get_request(self):
        connection, address = self.socket.accept()
        if self.tls is not None:
            connection = self.tls.wrap_socket(connection, server_side=True,
                                              do_handshake_on_connect=False)
        return connection, address

    @property
    def origin(self):
        return "%s://%s:%d" % ("https" if self.tls else "http", HOST, self.port)


_OPENSSL_CONFIG = """
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Zel devserver CA
[v3_ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[v3_server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer
"""


def _openssl(*args):
    subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def ensure_certificates(directory):
    """A CA and a server certificate for 127.0.0.1 and localhost in directory; certificates that
    are still valid for a day are kept, so that a client's CA file survives restarts."""
    paths = {name: os.path.join(directory, name)
             for name in ("ca.pem", "ca.key", "server.pem", "server.key")}
    if all(os.path.exists(p) for p in paths.values()):
        check = subprocess.run(
            ["openssl", "verify", "-CAfile", paths["ca.pem"], paths["server.pem"]],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        fresh = subprocess.run(
            ["openssl", "x509", "-checkend", "86400", "-noout", "-in", paths["server.pem"]],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if check.returncode == 0 and fresh.returncode == 0:
            return paths
    os.makedirs(directory, exist_ok=True)
    config = os.path.join(directory, "openssl.cnf")
    csr = os.path.join(directory, "server.csr")
    with open(config, "w") as f:
        f.write(_OPENSSL_CONFIG)
    ec = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
    old_umask = os.umask(0o077)  # the keys are for this user only
    try:
        _openssl("req", "-config", config, "-x509", *ec, "-keyout", paths["ca.key"],
                 "-out", paths["ca.pem"], "-days", "30", "-extensions", "v3_ca")
        _openssl("req", "-config", config, "-new", *ec, "-keyout", paths["server.key"],
                 "-out", csr, "-subj", "/CN=localhost")
        _openssl("x509", "-req", "-in", csr, "-CA", paths["ca.pem"], "-CAkey", paths["ca.key"],
                 "-set_serial", "0x" + secrets.token_hex(8), "-days", "30",
                 "-extfile", config, "-extensions", "v3_server", "-out", paths["server.pem"])
    finally:
        os.umask(old_umask)
        for leftover in (csr, config):
            if os.path.exists(leftover):
                os.remove(leftover)
    return paths


class DevServer:
    """Both servers over one shared state, each serving in its own thread."""

    def __init__(self, state, oauth_port=0, api_port=0, cert_dir=None):
        self.state = state
        self.ca_file = ""
        tls = None
        if cert_dir is not None:
            paths = ensure_certificates(cert_dir)
            tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            tls.load_cert_chain(paths["server.pem"], paths["server.key"])
            self.ca_file = paths["ca.pem"]
        self.oauth = Server("oauth", oauth_port, create_oauth_app(state), tls)
        self.api = Server("api", api_port, create_api_app(state), tls)
        self.threads = [threading.Thread(target=s.serve_forever, args=(0.1,), name=s.name,
                                         daemon=True)
                        for s in (self.oauth, self.api)]

    def start(self):
        for thread in self.threads:
            thread.start()

    def stop(self):
        for server in (self.oauth, self.api):
            server.shutdown()
        for thread in self.threads:
            thread.join()
        self.state.save()

    def ready_info(self):
        return {"oauth": self.oauth.origin, "api": self.api.origin, "ca": self.ca_file,
                "pid": os.getpid()}


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--oauth-port", type=int, default=0,
                        help="port of the OAuth/web server (0, the default: any free port)")
    parser.add_argument("--api-port", type=int, default=0,
                        help="port of the API server (0, the default: any free port)")
    parser.add_argument("--https", action="store_true",
                        help="serve HTTPS with a CA and server certificate made on start")
    parser.add_argument("--cert-dir", metavar="DIR",
                        help="keep the certificates in DIR and reuse them (implies --https)")
    parser.add_argument("--state", metavar="FILE", help="load and save the state in FILE (JSON)")
    parser.add_argument("--ready-file", metavar="FILE",
                        help="write the origins and the CA path to FILE (JSON) once serving")
    parser.add_argument("--token-lifetime", type=int, default=3600, metavar="SECONDS",
                        help="lifetime of access tokens (default 3600)")
    parser.add_argument("--mac-algorithm", default="hmac-sha-256", choices=MAC_ALGORITHMS,
                        help="MAC algorithm of issued tokens (default hmac-sha-256)")
    parser.add_argument("--account", action="append", default=[], metavar="EMAIL:PASSWORD",
                        help="create an activated account (repeatable)")
    parser.add_argument("--auto-activate", action="store_true",
                        help="activate registered accounts at once")
    parser.add_argument("--password-iterations", type=int, default=PASSWORD_ITERATIONS, metavar="N",
                        help="PBKDF2 rounds of new accounts' password hashes (default %d); fewer"
                        " only to time the client's share of a login" % PASSWORD_ITERATIONS)
    parser.add_argument("--quiet", action="store_true", help="log warnings only")
    args = parser.parse_args(argv)
    if args.password_iterations < 1:
        parser.error("--password-iterations must be at least 1")
    if args.token_lifetime < 0:
        parser.error("--token-lifetime must not be negative")
    for account in args.account:
        if ":" not in account or not account.partition(":")[2]:
            parser.error("--account takes EMAIL:PASSWORD")
    return args


def write_ready_file(path, info):
    directory = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=directory, prefix=".ready-")
    with os.fdopen(fd, "w") as f:
        json.dump(info, f)
    os.replace(temp, path)  # readers never see a half-written file


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING if args.quiet else logging.INFO,
                        format="%(asctime)s %(name)s: %(message)s")
    state = State(args.state, token_lifetime=args.token_lifetime,
                  mac_algorithm=args.mac_algorithm, auto_activate=args.auto_activate,
                  password_iterations=args.password_iterations)
    for account in args.account:
        email, _, password = account.partition(":")
        state.create_account(email, password, "Dev", "User", "Germany", False, active=True)
        state.activate(email=email)

    temp_certs = None
    cert_dir = args.cert_dir
    if args.https and cert_dir is None:
        cert_dir = temp_certs = tempfile.mkdtemp(prefix="zel-devserver-")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    try:
        server = DevServer(state, args.oauth_port, args.api_port, cert_dir)
        info = server.ready_info()
        server.start()
        if args.ready_file:
            write_ready_file(args.ready_file, info)
        print("READY oauth=%s api=%s ca=%s" % (info["oauth"], info["api"], info["ca"]), flush=True)
        while not stop.wait(1):
            pass
        log.info("Stopping")
        server.stop()
    finally:
        if temp_certs:
            shutil.rmtree(temp_certs, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
