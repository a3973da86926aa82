#!/usr/bin/python3
# oauthlib's MAC "Authorization" header for one request, an independent answer for
# tst_macsignature:  mac_oracle.py ID URI METHOD NONCE BODY KEY ALGORITHM
# Without oauthlib the import fails with a non-zero exit, so the test fails rather than passes.
import sys

from oauthlib.oauth2.rfc6749.tokens import prepare_mac_header

token, uri, method, nonce, body, key, algorithm = sys.argv[1:8]
# draft=0 is draft-ietf-oauth-v2-http-mac with the body hash line. oauthlib separates the fields
# with ", ", the system under test with ",".
header = prepare_mac_header(token=token, uri=uri, key=key, http_method=method, nonce=nonce,
                            body=body, hash_algorithm=algorithm, draft=0)["Authorization"]
print(header.replace(", ", ","))
