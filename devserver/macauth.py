"""Verification of MAC-signed requests (draft-ietf-oauth-v2-http-mac-01, as oauthlib implements
it): the mac is recomputed with oauthlib for the received nonce, body and the token's algorithm."""

import base64
import hashlib
import hmac
import re

from oauthlib.oauth2.rfc6749.tokens import prepare_mac_header

_PARAM = re.compile(r'\s*([a-z]+)="([^"]*)"\s*(?:,|$)')
# Visible ASCII only: nothing that could add lines to the normalized request string.
_VISIBLE = re.compile(r"[\x21-\x7e]+")
_UNRESERVED = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")
_ESCAPE = re.compile(r"(?:%[0-9A-Fa-f]{2})+")


def parse_authorization(value):
    """The parameters of a MAC Authorization header as a dict, or None when it is no such header."""
    if not value or value[:4].lower() != "mac ":
        return None
    params, rest, pos = {}, value[4:], 0
    while pos < len(rest):
        match = _PARAM.match(rest, pos)
        if match is None or match.group(1) in params:
            return None
        params[match.group(1)] = match.group(2)
        pos = match.end()
    return params


def _pretty_escapes(match):
    raw = bytes.fromhex(match.group(0).replace("%", ""))
    out, i = [], 0
    while i < len(raw):
        byte = raw[i]
        if byte in _UNRESERVED or byte == 0x20:
            out.append(chr(byte))
            i += 1
            continue
        if byte >= 0x80:
            # a whole UTF-8 sequence is shown decoded
            length = 2 if byte >= 0xC0 else 1
            length = 3 if byte >= 0xE0 else length
            length = 4 if byte >= 0xF0 else length
            try:
                out.append(raw[i:i + length].decode("utf-8"))
                i += length
                continue
            except UnicodeDecodeError:
                pass
        out.append("%%%02X" % byte)
        i += 1
    return "".join(out)


def pretty_query(query):
    """The query roughly as Qt's QUrl::PrettyDecoded shows it (unreserved characters, spaces and
    UTF-8 decoded; delimiters kept encoded, in upper-case hex), which is what a Qt client signs."""
    return _ESCAPE.sub(_pretty_escapes, query)


def candidate_uris(scheme, host, path, raw_path, query):
    origin = "%s://%s" % (scheme, host.lower())
    uris = []
    for p, q in ((path, query), (path, pretty_query(query)), (raw_path, query)):
        uri = origin + p + ("?" + q if q else "")
        if uri not in uris:
            uris.append(uri)
    return uris


def _same(a, b):
    return hmac.compare_digest(a.encode("utf-8"), b.encode("utf-8"))


def verify(state, method, uris, body, authorization):
    """Checks one request. Returns (access token row, None) or (None, reason)."""
    params = parse_authorization(authorization)
    if params is None or not all(k in params for k in ("id", "nonce", "bodyhash", "mac")):
        return None, "Missing or malformed MAC Authorization header"
    if not _VISIBLE.fullmatch(params["id"]) or not _VISIBLE.fullmatch(params["nonce"]):
        return None, "Malformed MAC id or nonce"
    token, reason = state.access_token(params["id"])
    if token is None:
        return None, reason
    algorithm = token["algorithm"].lower()
    digest = hashlib.sha1 if algorithm == "hmac-sha-1" else hashlib.sha256
    if not _same(base64.b64encode(digest(body).digest()).decode(), params["bodyhash"]):
        return None, "Body hash does not match the body"
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return None, "Request body is not UTF-8"
    for uri in uris:
        signed = prepare_mac_header(params["id"], uri, token["key"], method, nonce=params["nonce"],
                                    body=text, hash_algorithm=algorithm)
        if _same(parse_authorization(signed["Authorization"])["mac"], params["mac"]):
            # draft-ietf-oauth-v2-http-mac-01, 4.1: a nonce is used once per MAC key identifier.
            if not state.use_nonce(params["id"], params["nonce"]):
                return None, "Nonce already used"
            return token, None
    return None, "MAC does not match the request"
