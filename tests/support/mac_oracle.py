#!/usr/bin/python3
"""Independent MAC signatures for tst_macsignature, computed with oauthlib.

Reads a JSON array of cases on stdin, each an object with
  id, uri, method, nonce, body (text, sent as UTF-8), key (base64 of the raw key bytes),
  algorithm ("hmac-sha-1" or "hmac-sha-256"),
and prints a JSON array with oauthlib's Authorization header value for each case, in order.
Exits non-zero (with the reason on stderr) when oauthlib cannot be imported, so that the
calling test fails instead of passing without a comparison.
"""

import base64
import json
import sys

try:
    from oauthlib.oauth2.rfc6749.tokens import prepare_mac_header
except ImportError as error:
    sys.stderr.write("mac_oracle: oauthlib is not available: %s\n" % error)
    sys.exit(2)


def sign(case):
    # draft=0 is the draft-ietf-oauth-v2-http-mac variant with a body hash line.
    headers = prepare_mac_header(
        token=case["id"],
        uri=case["uri"],
        key=base64.b64decode(case["key"]),
        http_method=case["method"],
        nonce=case["nonce"],
        body=case["body"],
        hash_algorithm=case["algorithm"],
        draft=0,
    )
    return headers["Authorization"]


def main():
    cases = json.load(sys.stdin)
    json.dump([sign(case) for case in cases], sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
