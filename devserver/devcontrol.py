"""The /dev control endpoints of the OAuth/web server, for tests and demos."""

import logging
from urllib.parse import quote

from flask import Blueprint, jsonify, request

from devstate import MAC_ALGORITHMS
from responses import challenges, json_error, state
from webforms import EMAIL

log = logging.getLogger("devserver")

blueprint = Blueprint("dev", __name__, url_prefix="/dev")


def account_or_404():
    email = request.values.get("email", "")
    if state().find_account(email) is None:
        return None, json_error(404, "not_found", "No such account")
    return email, None


@blueprint.route("/activate", methods=["GET", "POST"])
def activate():
    email, refusal = account_or_404()
    if refusal is not None:
        return refusal
    profile = state().activate(email=email)
    log.info("Activated %r", profile["email"])
    return jsonify({"email": profile["email"], "active": True})


@blueprint.route("/revoke", methods=["GET", "POST"])
def revoke():
    email, refusal = account_or_404()
    if refusal is not None:
        return refusal
    tables = {"refresh": ("refresh_tokens",), "access": ("access_tokens",),
              "all": ("refresh_tokens", "access_tokens")}.get(
                  request.values.get("tokens", "refresh"))
    if tables is None:
        return json_error(400, "invalid_request", "tokens must be refresh, access or all")
    count = state().revoke_account(email, tables)
    log.info("Revoked %d token(s) of %r", count, email)
    return jsonify({"revoked": count})


@blueprint.route("/mac-algorithm", methods=["GET", "POST"])
def mac_algorithm():
    algorithm = request.values.get("algorithm", "")
    if algorithm.lower() not in MAC_ALGORITHMS + ("",):
        return json_error(400, "invalid_request", "Unknown MAC algorithm")
    client_id = request.values.get("client_id")
    if client_id is None:
        if not algorithm:
            return json_error(400, "invalid_request", "Missing algorithm")
        state().mac_algorithm = algorithm
    elif not state().set_client_algorithm(client_id, algorithm or None):
        return json_error(404, "not_found", "No such client")
    return jsonify({"client_id": client_id, "algorithm": algorithm or state().mac_algorithm})


@blueprint.route("/token-lifetime", methods=["GET", "POST"])
def token_lifetime():
    try:
        seconds = int(request.values.get("seconds", ""))
    except ValueError:
        seconds = -1
    if seconds < 0:
        return json_error(400, "invalid_request", "seconds must be a whole number >= 0")
    state().token_lifetime = seconds
    return jsonify({"token_lifetime": seconds})


@blueprint.route("/account", methods=["GET", "POST"])
def account():
    email, refusal = account_or_404()
    if refusal is not None:
        return refusal
    found = state().find_account(email)
    result = dict(found["profile"], active=found["active"])
    if not found["active"]:
        result["activation_url"] = request.host_url.rstrip("/") + "/activate?token=" + quote(
            found["activation"])
    return jsonify(result)


@blueprint.route("/challenges", methods=["GET", "POST"])
def challenge_counts():
    return jsonify(challenges())


@blueprint.route("/create-account", methods=["POST"])
def create_account():
    values = request.values
    email, password = values.get("email", "").strip(), values.get("password", "")
    if not EMAIL.fullmatch(email) or not password:
        return json_error(400, "invalid_request", "email and password are required")
    created = state().create_account(
        email, password, values.get("first-name", "Dev"), values.get("last-name", "User"),
        values.get("country", "Germany"), values.get("send-newsletter") == "yes",
        active=values.get("active", "yes") == "yes")
    if created is None:
        return json_error(409, "conflict", "The account exists already")
    return jsonify(state().profile(email.lower())), 201
