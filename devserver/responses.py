"""What the blueprints of both servers share: the state they serve, the JSON error answer and the
HTML page."""

from flask import Flask, current_app, jsonify
from markupsafe import escape

PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>{title}</title></head>
<body>
<h1>{title}</h1>
{body}
</body></html>
"""


def create_app(name, state, blueprints):
    app = Flask(name)
    app.config["MAX_CONTENT_LENGTH"] = 1 << 20
    app.extensions["zel-devserver-state"] = state
    for blueprint in blueprints:
        app.register_blueprint(blueprint)
    return app


def challenges():
    """Basic challenges sent per path: clients send their credentials up front, so tests expect
    none."""
    return current_app.extensions.setdefault(
        "zel-devserver-challenges", {"/oauth/token": 0, "/config/pubnub": 0})


def state():
    """The state of the server that handles the current request."""
    return current_app.extensions["zel-devserver-state"]


def json_error(status, error, description, headers=None):
    response = jsonify({"error": error, "error_description": description})
    response.status_code = status
    response.headers.extend(headers or {})
    return response


def http_exception_error(exc):
    """An HTTP exception of werkzeug as a JSON error; its name spelled as an error code."""
    return json_error(exc.code, exc.name.lower().replace(" ", "_"), exc.description)


def page(title, body, status=200):
    return PAGE.format(title=escape(title), body=body), status, {
        "Content-Type": "text/html; charset=utf-8"}
