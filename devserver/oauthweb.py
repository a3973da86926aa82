"""The OAuth/web server: device registration, the token endpoint and the PubNub configuration
here; the HTML login and registration forms and the manage-account page in webforms.py; the /dev
control endpoints in devcontrol.py. create_oauth_app puts them together."""

import logging

from flask import Blueprint, jsonify, request
from markupsafe import escape
from werkzeug.exceptions import HTTPException

import devcontrol
import webforms
from devstate import GrantError
from responses import challenges, create_app, http_exception_error, json_error, page, state

log = logging.getLogger("devserver")

blueprint = Blueprint("oauth", __name__)

REALM = 'Basic realm="zel devserver"'


def basic_client():
    """The client id when the request authenticates a registered client with HTTP Basic."""
    auth = request.authorization
    if auth is None or auth.type != "basic" or not auth.username:
        return None
    if not state().authenticate_client(auth.username, auth.password or ""):
        return None
    return auth.username


# Device registration

@blueprint.post("/oauth/credentials")
def credentials():
    names = ("client_class_id", "model_identifier", "device_identifier", "user_identifier")
    values = [request.form.get(name, "").strip() for name in names]
    missing = [name for name, value in zip(names, values) if not value]
    if missing:
        return json_error(400, "invalid_request", "Missing " + ", ".join(missing))
    device_name = request.form.get("device_name", "")
    client_id, secret, created = state().register_client(*values, device_name)
    log.info("Device %r registered as client %s%s", device_name, client_id,
             "" if created else " (again)")
    return jsonify({"client_id": client_id, "client_secret": secret}), 201 if created else 200


# Token endpoint (RFC 6749, 3.2)

def grant_error(error):
    headers = {"Cache-Control": "no-store", "Pragma": "no-cache"}
    if error.status == 401:
        headers["WWW-Authenticate"] = REALM
        challenges()["/oauth/token"] += 1
    return json_error(error.status, error.error, error.description, headers)


@blueprint.post("/oauth/token")
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
            tokens = state().grant_authorization_code(
                client_id, form["code"], form.get("redirect_uri", ""))
        elif grant == "refresh_token":
            if not form.get("refresh_token"):
                raise GrantError("invalid_request", "Missing refresh_token")
            tokens = state().grant_refresh_token(client_id, form["refresh_token"])
        elif grant == "client_credentials":
            tokens = state().grant_client_credentials(client_id)
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


# PubNub configuration, authenticated by the client credentials

@blueprint.get("/config/pubnub")
def pubnub():
    client_id = basic_client()
    if client_id is None:
        challenges()["/config/pubnub"] += 1
        return json_error(401, "invalid_client", "Client authentication failed",
                          {"WWW-Authenticate": REALM})
    return jsonify({
        "publish_key": "pub-c-zel-devserver",
        "subscribe_key": "sub-c-zel-devserver",
        "channel": "zel-device-" + client_id,
        "uuid": client_id,
        "ssl": request.scheme == "https",
    })


def http_error(exc):
    # Machine clients read the JSON endpoints; people read the pages.
    if request.path.startswith(("/oauth/", "/config/", "/dev/")):
        return http_exception_error(exc)
    return page(exc.name, "<p>%s</p>" % escape(exc.description), exc.code)


def create_oauth_app(state):
    app = create_app("zel-devserver-oauth", state,
                     (blueprint, webforms.blueprint, devcontrol.blueprint))
    # On the application, not a blueprint: unknown paths and methods reach no blueprint.
    app.register_error_handler(HTTPException, http_error)
    return app
