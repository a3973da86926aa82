"""The OAuth/web server: device registration, the HTML login and registration forms, the token
endpoint, the PubNub configuration, the manage-account page and the /dev control endpoints."""

import logging
import re
from urllib.parse import quote, quote_plus, unquote_plus, urlencode

from flask import Flask, jsonify, request
from markupsafe import escape
from werkzeug.exceptions import HTTPException

from devstate import MAC_ALGORITHMS, REDIRECT_URIS, GrantError

log = logging.getLogger("devserver")

FORM_TOKEN = "__anti-forgery-token"
FLASH_ERROR = "flash-error"
REALM = 'Basic realm="zel devserver"'
EMAIL = re.compile(r"[^@\s]+@[^@\s]+\.[^@\s.]+")
MIN_PASSWORD = 8
MAX_FIELD = 200

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{title}</title></head>
<body>
<h1>{title}</h1>
{body}
</body></html>
"""


def _page(title, body, status=200):
    return PAGE.format(title=escape(title), body=body), status, {
        "Content-Type": "text/html; charset=utf-8"}


def _json_error(status, error, description, headers=None):
    response = jsonify({"error": error, "error_description": description})
    response.status_code = status
    response.headers.extend(headers or {})
    return response


def _flash_value(message):
    # Form-encoded, as the login form's readers expect: spaces as "+", the rest percent-encoded.
    return quote_plus(message, safe="")


def create_oauth_app(state):
    app = Flask("zel-devserver-oauth")
    app.config["MAX_CONTENT_LENGTH"] = 1 << 20
    # Basic challenges sent per path: clients send their credentials up front, so tests expect 0.
    challenges = {"/oauth/token": 0, "/config/pubnub": 0}

    def set_cookie(response, name, value, max_age=None):
        response.set_cookie(name, value, max_age=max_age, path="/", httponly=True,
                            secure=request.scheme == "https", samesite="Lax")

    def form_page(title, action, fields, error=None, status=200):
        token = state.new_form_token()
        message = '<p class="error">%s</p>\n' % escape(error) if error else ""
        inputs = "".join(
            '<p><label>%s <input type="%s" name="%s"></label></p>\n' % (escape(label), kind, name)
            for name, kind, label in fields)
        body = ('%s<form method="post" action="%s">\n'
                '<input type="hidden" name="%s" value="%s">\n%s'
                '<p><button type="submit">%s</button></p>\n</form>') % (
            message, escape(action), FORM_TOKEN, token, inputs, escape(title))
        response = app.make_response(_page(title, body, status))
        set_cookie(response, FORM_TOKEN, token)
        return response

    def form_token_valid():
        return state.check_form_token(request.cookies.get(FORM_TOKEN), request.form.get(FORM_TOKEN))

    def basic_client():
        """The client id when the request authenticates a registered client with HTTP Basic."""
        auth = request.authorization
        if auth is None or auth.type != "basic" or not auth.username:
            return None
        if not state.authenticate_client(auth.username, auth.password or ""):
            return None
        return auth.username

    @app.errorhandler(HTTPException)
    def http_error(exc):
        if request.path.startswith(("/oauth/", "/config/", "/dev/")):
            return _json_error(exc.code, exc.name.lower().replace(" ", "_"), exc.description)
        return _page(exc.name, "<p>%s</p>" % escape(exc.description), exc.code)

    # Device registration

    @app.post("/oauth/credentials")
    def credentials():
        names = ("client_class_id", "model_identifier", "device_identifier", "user_identifier")
        values = [request.form.get(name, "").strip() for name in names]
        missing = [name for name, value in zip(names, values) if not value]
        if missing:
            return _json_error(400, "invalid_request", "Missing " + ", ".join(missing))
        device_name = request.form.get("device_name", "")
        client_id, secret, created = state.register_client(*values, device_name)
        log.info("Device %r registered as client %s%s", device_name, client_id,
                 "" if created else " (again)")
        return jsonify({"client_id": client_id, "client_secret": secret}), 201 if created else 200

    # Login form (RFC 6749, 4.1.1: authorization request)

    def authorization_request():
        """(client_id, redirect_uri, state, None) or (None, None, None, error response)."""
        client_id = request.args.get("client_id", "")
        redirect_uri = request.args.get("redirect_uri", "")
        if not state.has_client(client_id) or redirect_uri not in REDIRECT_URIS:
            # RFC 6749, 4.1.2.1: never redirect to an unverified redirect URI.
            return None, None, None, _page(
                "Invalid request", "<p>Unknown client or redirect URI.</p>", 400)
        client_state = request.args.get("state")
        if request.args.get("response_type") != "code":
            return None, None, None, redirect_to(redirect_uri, {
                "error": "unsupported_response_type", "state": client_state})
        return client_id, redirect_uri, client_state, None

    def redirect_to(redirect_uri, params):
        query = urlencode({k: v for k, v in params.items() if v is not None})
        return "", 302, {"Location": redirect_uri + "?" + query}

    login_fields = (("identifier", "email", "E-mail"), ("password", "password", "Password"))

    @app.route("/login", methods=["GET", "POST"])
    def login():
        client_id, redirect_uri, client_state, refusal = authorization_request()
        if refusal is not None:
            return refusal
        action = request.full_path
        if request.method == "GET":
            flash = request.cookies.get(FLASH_ERROR)
            response = form_page("Sign in", action, login_fields,
                                 error=unquote_plus(flash) if flash else None)
            if flash is not None:
                response.delete_cookie(FLASH_ERROR, path="/")
            return response
        if not form_token_valid():
            log.info("Login refused: anti-forgery token missing or wrong")
            return _page("Session expired", "<p>Please load the sign-in page again.</p>", 403)
        identifier = request.form.get("identifier", "")
        account, reason = state.check_login(identifier, request.form.get("password", ""))
        if account is None:
            log.info("Login of %r via client %s refused: %s", identifier, client_id, reason)
            response = form_page("Sign in", action, login_fields, error=reason)
            set_cookie(response, FLASH_ERROR, _flash_value(reason), max_age=60)
            return response
        log.info("Login of %r via client %s succeeded", identifier, client_id)
        code = state.new_code(account, client_id, redirect_uri)
        return redirect_to(redirect_uri, {"code": code, "state": client_state})

    # Token endpoint (RFC 6749, 3.2)

    def grant_error(error):
        headers = {"Cache-Control": "no-store", "Pragma": "no-cache"}
        if error.status == 401:
            headers["WWW-Authenticate"] = REALM
            challenges["/oauth/token"] += 1
        return _json_error(error.status, error.error, error.description, headers)

    @app.post("/oauth/token")
    def token():
        client_id = basic_client()
        if client_id is None:
            return grant_error(GrantError("invalid_client", "Client authentication failed", 401))
        form = request.form
        grant = form.get("grant_type", "")
        try:
            if any(len(form.getlist(name)) > 1 for name in form):
                raise GrantError("invalid_request", "Repeated parameter")
            if grant == "authorization_code":
                if not form.get("code"):
                    raise GrantError("invalid_request", "Missing code")
                tokens = state.grant_authorization_code(
                    client_id, form["code"], form.get("redirect_uri", ""))
            elif grant == "refresh_token":
                if not form.get("refresh_token"):
                    raise GrantError("invalid_request", "Missing refresh_token")
                tokens = state.grant_refresh_token(client_id, form["refresh_token"])
            elif grant == "client_credentials":
                tokens = state.grant_client_credentials(client_id)
            elif not grant:
                raise GrantError("invalid_request", "Missing grant_type")
            else:
                raise GrantError("unsupported_grant_type", "Unsupported grant type")
        except GrantError as error:
            log.info("Token request (%s) of client %s refused: %s", grant or "-", client_id,
                     error.error)
            return grant_error(error)
        log.info("Token request (%s) of client %s granted, %s", grant, client_id,
                 tokens["algorithm"])
        response = jsonify(tokens)
        response.headers["Cache-Control"] = "no-store"  # RFC 6749, 5.1
        response.headers["Pragma"] = "no-cache"
        return response

    # Registration form

    register_fields = (("email", "email", "E-mail"), ("password", "password", "Password"),
                       ("first-name", "text", "First name"), ("last-name", "text", "Last name"),
                       ("country", "text", "Country"),
                       ("send-newsletter", "checkbox", "Send me the newsletter"),
                       ("accept-terms", "checkbox", "I accept the terms"))

    def registration_errors(form):
        errors = {}

        def add(field, text):
            errors.setdefault(field, []).append({"error": text})

        email = form.get("email", "").strip()
        if not email:
            add("email", "Please enter your e-mail address")
        elif len(email) > MAX_FIELD or not EMAIL.fullmatch(email):
            add("email", "This is not a valid e-mail address")
        elif state.find_account(email) is not None:
            add("email", "This e-mail address is already registered")
        password = form.get("password", "")
        if len(password) < MIN_PASSWORD:
            add("password", "The password must have at least %d characters" % MIN_PASSWORD)
        for field, label in (("first-name", "first name"), ("last-name", "last name"),
                             ("country", "country")):
            value = form.get(field, "").strip()
            if not value:
                add(field, "Please enter your %s" % label)
            elif len(value) > MAX_FIELD:
                add(field, "The %s is too long" % label)
        if form.get("send-newsletter", "no") not in ("yes", "no"):
            add("send-newsletter", "Must be yes or no")
        if form.get("accept-terms") != "yes":
            add("accept-terms", "You must accept the terms to register")
        return errors

    @app.route("/register", methods=["GET", "POST"])
    def register():
        client_id = request.args.get("client_id", "")
        if request.method == "GET":
            if not state.has_client(client_id):
                return _page("Invalid request", "<p>Unknown client.</p>", 400)
            return form_page("Register", request.full_path, register_fields)
        if not form_token_valid():
            log.info("Registration refused: anti-forgery token missing or wrong")
            return jsonify({FORM_TOKEN: [{"error": "The form has expired, please try again"}]}), 403
        if not state.has_client(client_id):
            return jsonify({"client_id": [{"error": "Unknown client"}]}), 400
        form = request.form
        errors = registration_errors(form)
        activation = None
        if not errors:
            activation = state.create_account(
                form["email"], form["password"], form["first-name"].strip(),
                form["last-name"].strip(), form["country"].strip(),
                form.get("send-newsletter") == "yes", client_id=client_id)
            if activation is None:  # registered meanwhile by another request
                errors = {"email": [{"error": "This e-mail address is already registered"}]}
        if errors:
            log.info("Registration refused: %s", ", ".join(sorted(errors)))
            return jsonify(errors), 422
        log.info("Registered %r via client %s; activation link: %s", form["email"].strip(),
                 client_id, request.host_url.rstrip("/") + activation)
        # Relative on purpose: the client compares the Location with this exact path.
        return "", 302, {"Location": "/checkyouremails"}

    @app.get("/checkyouremails")
    def check_your_emails():
        return _page("Check your e-mails",
                     "<p>We have sent you a link to activate your account.</p>")

    @app.get("/activate")
    def activate_link():
        profile = state.activate(activation=request.args.get("token", ""))
        if profile is None:
            return _page("Invalid link", "<p>This activation link is not valid.</p>", 404)
        log.info("Activated %r", profile["email"])
        return _page("Account activated",
                     "<p>Your account %s is active now.</p>" % escape(profile["email"]))

    # PubNub configuration, authenticated by the client credentials

    @app.get("/config/pubnub")
    def pubnub():
        client_id = basic_client()
        if client_id is None:
            challenges["/config/pubnub"] += 1
            return _json_error(401, "invalid_client", "Client authentication failed",
                               {"WWW-Authenticate": REALM})
        return jsonify({
            "publish_key": "pub-c-zel-devserver",
            "subscribe_key": "sub-c-zel-devserver",
            "channel": "zel-device-" + client_id,
            "uuid": client_id,
            "ssl": request.scheme == "https",
        })

    # Manage-account page, entered with a one-time login token

    @app.get("/integration")
    def integration():
        profile = state.redeem_login_token(request.args.get("login-token", ""))
        if profile is None:
            return _page("Invalid link", "<p>This link is not valid (any more).</p>", 404)
        name = "%s %s" % (profile.get("first_name", ""), profile.get("last_name", ""))
        return _page("Your account", "<p>Signed in as %s &lt;%s&gt;.</p>" % (
            escape(name.strip()), escape(profile["email"])))

    # Control endpoints for tests and demos

    def dev_account_or_404():
        email = request.values.get("email", "")
        if state.find_account(email) is None:
            return None, _json_error(404, "not_found", "No such account")
        return email, None

    @app.route("/dev/activate", methods=["GET", "POST"])
    def dev_activate():
        email, refusal = dev_account_or_404()
        if refusal is not None:
            return refusal
        profile = state.activate(email=email)
        log.info("Activated %r", profile["email"])
        return jsonify({"email": profile["email"], "active": True})

    @app.route("/dev/revoke", methods=["GET", "POST"])
    def dev_revoke():
        email, refusal = dev_account_or_404()
        if refusal is not None:
            return refusal
        tables = {"refresh": ("refresh_tokens",), "access": ("access_tokens",),
                  "all": ("refresh_tokens", "access_tokens")}.get(
                      request.values.get("tokens", "refresh"))
        if tables is None:
            return _json_error(400, "invalid_request", "tokens must be refresh, access or all")
        count = state.revoke_account(email, tables)
        log.info("Revoked %d token(s) of %r", count, email)
        return jsonify({"revoked": count})

    @app.route("/dev/mac-algorithm", methods=["GET", "POST"])
    def dev_mac_algorithm():
        algorithm = request.values.get("algorithm", "")
        if algorithm.lower() not in MAC_ALGORITHMS + ("",):
            return _json_error(400, "invalid_request", "Unknown MAC algorithm")
        client_id = request.values.get("client_id")
        if client_id is None:
            if not algorithm:
                return _json_error(400, "invalid_request", "Missing algorithm")
            state.mac_algorithm = algorithm
        elif not state.set_client_algorithm(client_id, algorithm or None):
            return _json_error(404, "not_found", "No such client")
        return jsonify({"client_id": client_id, "algorithm": algorithm or state.mac_algorithm})

    @app.route("/dev/token-lifetime", methods=["GET", "POST"])
    def dev_token_lifetime():
        try:
            seconds = int(request.values.get("seconds", ""))
        except ValueError:
            seconds = -1
        if seconds < 0:
            return _json_error(400, "invalid_request", "seconds must be a whole number >= 0")
        state.token_lifetime = seconds
        return jsonify({"token_lifetime": seconds})

    @app.route("/dev/account", methods=["GET", "POST"])
    def dev_account():
        email, refusal = dev_account_or_404()
        if refusal is not None:
            return refusal
        account = state.find_account(email)
        result = dict(account["profile"], active=account["active"])
        if not account["active"]:
            result["activation_url"] = request.host_url.rstrip("/") + "/activate?token=" + quote(
                account["activation"])
        return jsonify(result)

    @app.route("/dev/challenges", methods=["GET", "POST"])
    def dev_challenges():
        return jsonify(challenges)

    @app.route("/dev/create-account", methods=["POST"])
    def dev_create_account():
        values = request.values
        email, password = values.get("email", "").strip(), values.get("password", "")
        if not EMAIL.fullmatch(email) or not password:
            return _json_error(400, "invalid_request", "email and password are required")
        created = state.create_account(
            email, password, values.get("first-name", "Dev"), values.get("last-name", "User"),
            values.get("country", "Germany"), values.get("send-newsletter") == "yes",
            active=values.get("active", "yes") == "yes")
        if created is None:
            return _json_error(409, "conflict", "The account exists already")
        return jsonify(state.profile(email.lower())), 201

    return app
