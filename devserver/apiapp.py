"""The API server: every request must carry a valid MAC Authorization header."""

import json

from flask import Flask, g, jsonify, request
from werkzeug.exceptions import HTTPException

import macauth

READ_ONLY_PROFILE_FIELDS = ("id", "email")


def _error(status, error, description, headers=None):
    response = jsonify({"error": error, "error_description": description})
    response.status_code = status
    response.headers.extend(headers or {})
    return response


def _json_object_body():
    try:
        value = json.loads(request.get_data() or b"null")
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def create_api_app(state):
    app = Flask("zel-devserver-api")
    app.config["MAX_CONTENT_LENGTH"] = 1 << 20

    @app.before_request
    def authenticate():
        raw_path = request.environ.get("RAW_URI", request.full_path).split("?", 1)[0]
        uris = macauth.candidate_uris(request.scheme, request.host, request.path, raw_path,
                                      request.query_string.decode("latin-1"))
        token, reason = macauth.verify(state, request.method, uris, request.get_data(),
                                       request.headers.get("Authorization"))
        if token is None:
            return _error(401, "invalid_token", reason,
                          {"WWW-Authenticate": 'MAC error="invalid_token"'})
        g.account = token["account"]
        return None

    @app.errorhandler(HTTPException)
    def http_error(exc):
        response = _error(exc.code, exc.name.lower().replace(" ", "_"), exc.description)
        if exc.code == 405:
            response.headers["Allow"] = ", ".join(exc.valid_methods or [])
        return response

    @app.get("/me")
    def me():
        return jsonify(state.profile(g.account))

    @app.put("/me")
    def update_me():
        fields = _json_object_body()
        if fields is None:
            return _error(400, "invalid_request", "The body must be a JSON object")
        current = state.profile(g.account)
        for name in READ_ONLY_PROFILE_FIELDS:
            if name in fields and fields[name] != current[name]:
                return _error(400, "invalid_request", "The field %s cannot be changed" % name)
        return jsonify(state.update_profile(g.account, fields))

    @app.post("/notes")
    def add_note():
        fields = _json_object_body()
        if fields is None:
            return _error(400, "invalid_request", "The body must be a JSON object")
        return jsonify(state.add_note(g.account, fields)), 201

    @app.get("/notes")
    def list_notes():
        return jsonify({"notes": state.notes(g.account)})

    @app.delete("/notes/<int:note_id>")
    def delete_note(note_id):
        note = state.delete_note(g.account, note_id)
        if note is None:
            return _error(404, "not_found", "No such note")
        return jsonify(note)

    @app.post("/login-token")
    def login_token():
        return jsonify({"token": state.new_login_token(g.account)})

    return app
