"""The API server: every request must carry a valid MAC Authorization header."""

import json

from flask import Blueprint, g, jsonify, request
from werkzeug.exceptions import HTTPException

import macauth
from responses import create_app, http_exception_error, json_error, state

READ_ONLY_PROFILE_FIELDS = ("id", "email")

blueprint = Blueprint("api", __name__)


def _json_object_body():
    try:
        value = json.loads(request.get_data() or b"null")
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


# For every request, also those of unknown paths: nothing answers without a valid MAC.
@blueprint.before_app_request
def authenticate():
    raw_path = request.environ.get("RAW_URI", request.full_path).split("?", 1)[0]
    uris = macauth.candidate_uris(request.scheme, request.host, request.path, raw_path,
                                  request.query_string.decode("latin-1"))
    token, reason = macauth.verify(state(), request.method, uris, request.get_data(),
                                   request.headers.get("Authorization"))
    if token is None:
        return json_error(401, "invalid_token", reason,
                          {"WWW-Authenticate": 'MAC error="invalid_token"'})
    g.account = token["account"]
    return None


@blueprint.app_errorhandler(HTTPException)
def http_error(exc):
    response = http_exception_error(exc)
    if exc.code == 405:
        response.headers["Allow"] = ", ".join(exc.valid_methods or [])
    return response


@blueprint.get("/me")
def me():
    return jsonify(state().profile(g.account))


@blueprint.put("/me")
def update_me():
    fields = _json_object_body()
    if fields is None:
        return json_error(400, "invalid_request", "The body must be a JSON object")
    current = state().profile(g.account)
    for name in READ_ONLY_PROFILE_FIELDS:
        if name in fields and fields[name] != current[name]:
            return json_error(400, "invalid_request", "The field %s cannot be changed" % name)
    return jsonify(state().update_profile(g.account, fields))


@blueprint.post("/notes")
def add_note():
    fields = _json_object_body()
    if fields is None:
        return json_error(400, "invalid_request", "The body must be a JSON object")
    return jsonify(state().add_note(g.account, fields)), 201


@blueprint.get("/notes")
def list_notes():
    return jsonify({"notes": state().notes(g.account)})


@blueprint.delete("/notes/<int:note_id>")
def delete_note(note_id):
    note = state().delete_note(g.account, note_id)
    if note is None:
        return json_error(404, "not_found", "No such note")
    return jsonify(note)


@blueprint.post("/login-token")
def login_token():
    return jsonify({"token": state().new_login_token(g.account)})


def create_api_app(state):
    return create_app("zel-devserver-api", state, (blueprint,))
