"""The web pages of the OAuth/web server: the login form (the authorization request), the
registration form, the activation link and the manage-account page."""

import logging
import re
from urllib.parse import quote_plus, unquote_plus, urlencode

from flask import Blueprint, current_app, jsonify, request
from markupsafe import escape

from devstate import REDIRECT_URIS
from responses import page, state

log = logging.getLogger("devserver")

blueprint = Blueprint("web", __name__)

FORM_TOKEN = "__anti-forgery-token"
FLASH_ERROR = "flash-error"
EMAIL = re.compile(r"[^@\s]+@[^@\s]+\.[^@\s.]+")
MIN_PASSWORD = 8
MAX_FIELD = 200

LOGIN_FIELDS = (("identifier", "email", "E-mail"), ("password", "password", "Password"))
REGISTER_FIELDS = (("email", "email", "E-mail"), ("password", "password", "Password"),
                   ("first-name", "text", "First name"), ("last-name", "text", "Last name"),
                   ("country", "text", "Country"),
                   ("send-newsletter", "checkbox", "Send me the newsletter"),
                   ("accept-terms", "checkbox", "I accept the terms"))


def _flash_value(message):
    # Form-encoded, as the login form's readers expect: spaces as "+", the rest percent-encoded.
    return quote_plus(message, safe="")


def set_cookie(response, name, value, max_age=None):
    response.set_cookie(name, value, max_age=max_age, path="/", httponly=True,
                        secure=request.scheme == "https", samesite="Lax")


def form_page(title, action, fields, error=None, status=200):
    token = state().new_form_token()
    message = '<p class="error">%s</p>\n' % escape(error) if error else ""
    inputs = "".join(
        '<p><label>%s <input type="%s" name="%s"></label></p>\n' % (escape(label), kind, name)
        for name, kind, label in fields)
    body = ('%s<form method="post" action="%s">\n'
            '<input type="hidden" name="%s" value="%s">\n%s'
            '<p><button type="submit">%s</button></p>\n</form>') % (
        message, escape(action), FORM_TOKEN, token, inputs, escape(title))
    response = current_app.make_response(page(title, body, status))
    set_cookie(response, FORM_TOKEN, token)
    return response


def form_token_valid():
    return state().check_form_token(request.cookies.get(FORM_TOKEN), request.form.get(FORM_TOKEN))


# Login form (RFC 6749, 4.1.1: authorization request)

def authorization_request():
    """(client_id, redirect_uri, state, None) or (None, None, None, error response)."""
    client_id = request.args.get("client_id", "")
    redirect_uri = request.args.get("redirect_uri", "")
    if not state().has_client(client_id) or redirect_uri not in REDIRECT_URIS:
        # RFC 6749, 4.1.2.1: never redirect to an unverified redirect URI.
        return None, None, None, page(
            "Invalid request", "<p>Unknown client or redirect URI.</p>", 400)
    client_state = request.args.get("state")
    if request.args.get("response_type") != "code":
        return None, None, None, redirect_to(redirect_uri, {
            "error": "unsupported_response_type", "state": client_state})
    return client_id, redirect_uri, client_state, None


def redirect_to(redirect_uri, params):
    query = urlencode({k: v for k, v in params.items() if v is not None})
    return "", 302, {"Location": redirect_uri + "?" + query}


@blueprint.route("/login", methods=["GET", "POST"])
def login():
    client_id, redirect_uri, client_state, refusal = authorization_request()
    if refusal is not None:
        return refusal
    action = request.full_path
    if request.method == "GET":
        flash = request.cookies.get(FLASH_ERROR)
        response = form_page("Sign in", action, LOGIN_FIELDS,
                             error=unquote_plus(flash) if flash else None)
        if flash is not None:
            response.delete_cookie(FLASH_ERROR, path="/")
        return response
    if not form_token_valid():
        log.info("Login refused: anti-forgery token missing or wrong")
        return page("Session expired", "<p>Please load the sign-in page again.</p>", 403)
    identifier = request.form.get("identifier", "")
    account, reason = state().check_login(identifier, request.form.get("password", ""))
    if account is None:
        log.info("Login of %r via client %s refused: %s", identifier, client_id, reason)
        response = form_page("Sign in", action, LOGIN_FIELDS, error=reason)
        set_cookie(response, FLASH_ERROR, _flash_value(reason), max_age=60)
        return response
    log.info("Login of %r via client %s succeeded", identifier, client_id)
    code = state().new_code(account, client_id, redirect_uri)
    return redirect_to(redirect_uri, {"code": code, "state": client_state})


# Registration form

def registration_errors(form):
    errors = {}

    def add(field, text):
        errors.setdefault(field, []).append({"error": text})

    email = form.get("email", "").strip()
    if not email:
        add("email", "Please enter your e-mail address")
    elif len(email) > MAX_FIELD or not EMAIL.fullmatch(email):
        add("email", "This is not a valid e-mail address")
    elif state().find_account(email) is not None:
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


@blueprint.route("/register", methods=["GET", "POST"])
def register():
    client_id = request.args.get("client_id", "")
    if request.method == "GET":
        if not state().has_client(client_id):
            return page("Invalid request", "<p>Unknown client.</p>", 400)
        return form_page("Register", request.full_path, REGISTER_FIELDS)
    if not form_token_valid():
        log.info("Registration refused: anti-forgery token missing or wrong")
        return jsonify({FORM_TOKEN: [{"error": "The form has expired, please try again"}]}), 403
    if not state().has_client(client_id):
        return jsonify({"client_id": [{"error": "Unknown client"}]}), 400
    form = request.form
    errors = registration_errors(form)
    activation = None
    if not errors:
        activation = state().create_account(
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


@blueprint.get("/checkyouremails")
def check_your_emails():
    return page("Check your e-mails", "<p>We have sent you a link to activate your account.</p>")


@blueprint.get("/activate")
def activate_link():
    profile = state().activate(activation=request.args.get("token", ""))
    if profile is None:
        return page("Invalid link", "<p>This activation link is not valid.</p>", 404)
    log.info("Activated %r", profile["email"])
    return page("Account activated",
                "<p>Your account %s is active now.</p>" % escape(profile["email"]))


# Manage-account page, entered with a one-time login token

@blueprint.get("/integration")
def integration():
    profile = state().redeem_login_token(request.args.get("login-token", ""))
    if profile is None:
        return page("Invalid link", "<p>This link is not valid (any more).</p>", 404)
    name = "%s %s" % (profile.get("first_name", ""), profile.get("last_name", ""))
    return page("Your account", "<p>Signed in as %s &lt;%s&gt;.</p>" % (
        escape(name.strip()), escape(profile["email"])))
