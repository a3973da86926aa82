"""Accounts, clients and tokens of the development server, kept in memory and optionally in a
JSON file. Every public method takes the one lock, so the two threaded servers can share it."""

import base64
import copy
import hashlib
import hmac
import json
import os
import secrets
import tempfile
import threading
import time

MAC_ALGORITHMS = ("hmac-sha-1", "hmac-sha-256")
REDIRECT_URIS = ("zel://authorize",)

# RFC 6749, 4.1.2: authorization codes are short-lived; 10 minutes is the recommended maximum.
CODE_LIFETIME = 60
LOGIN_TOKEN_LIFETIME = 300
PASSWORD_ITERATIONS = 100_000


class GrantError(Exception):
    """An RFC 6749, 5.2 error answer of the token endpoint."""

    def __init__(self, error, description, status=400):
        super().__init__(description)
        self.error = error
        self.description = description
        self.status = status


def new_secret(length=32):
    # URL-safe so that a value survives query strings, cookies and form bodies unencoded.
    return secrets.token_urlsafe(length)


def hash_password(password, salt=None, iterations=PASSWORD_ITERATIONS):
    # "salt$digest"; another round count than the default is kept as a third field, so state
    # files written before the count became an option still verify.
    salt = salt or secrets.token_bytes(16)
    digest = hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, iterations)
    stored = base64.b64encode(salt).decode() + "$" + base64.b64encode(digest).decode()
    return stored if iterations == PASSWORD_ITERATIONS else "%s$%d" % (stored, iterations)


def check_password(password, stored):
    fields = stored.split("$")
    iterations = int(fields[2]) if len(fields) > 2 else PASSWORD_ITERATIONS
    candidate = hash_password(password, base64.b64decode(fields[0]), iterations)
    return hmac.compare_digest(candidate, stored)


class State:
    def __init__(self, path=None, token_lifetime=3600, mac_algorithm="hmac-sha-256",
                 auto_activate=False, clock=time.time, password_iterations=PASSWORD_ITERATIONS):
        self.path = path
        self.password_iterations = password_iterations
        self.token_lifetime = token_lifetime
        self.mac_algorithm = mac_algorithm
        self.auto_activate = auto_activate
        self.clock = clock
        self.lock = threading.RLock()
        self.data = {
            "form_key": new_secret(),
            "clients": {},
            "accounts": {},
            "codes": {},
            "access_tokens": {},
            "refresh_tokens": {},
            "login_tokens": {},
            "notes": {},
            "next_id": 1,
        }
        # Nonces are only needed for the lifetime of their access token; not persisted.
        self.seen_nonces = {}
        if path and os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                self.data.update(json.load(f))

    # Persistence

    def save(self):
        if not self.path:
            return
        with self.lock:
            directory = os.path.dirname(os.path.abspath(self.path))
            fd, temp = tempfile.mkstemp(dir=directory, prefix=".devstate-")
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(self.data, f, indent=1, sort_keys=True)
            os.replace(temp, self.path)  # mkstemp created it 0600: the file holds secrets

    def _changed(self):
        self._purge()
        self.save()

    def _purge(self):
        now = self.clock()
        # Expired access tokens stay a day, so that a late request hears "expired", not "unknown".
        for table, grace in (("codes", 0), ("login_tokens", 0), ("access_tokens", 86400)):
            rows = self.data[table]
            for key in [k for k, v in rows.items() if v["expires"] + grace <= now]:
                del rows[key]
                self.seen_nonces.pop(key, None)

    def _next_id(self):
        value = self.data["next_id"]
        self.data["next_id"] = value + 1
        return value

    # Anti-forgery tokens: a random part and its HMAC under a server key, so that the server need
    # not remember each form it handed out (double-submit cookie plus a signature).

    def new_form_token(self):
        nonce = new_secret(18)
        return nonce + "." + self._form_signature(nonce)

    def check_form_token(self, cookie, field):
        if not cookie or not field or not hmac.compare_digest(cookie, field):
            return False
        nonce, _, signature = field.partition(".")
        return hmac.compare_digest(signature, self._form_signature(nonce))

    def _form_signature(self, nonce):
        digest = hmac.new(self.data["form_key"].encode(), nonce.encode(), hashlib.sha256).digest()
        return base64.urlsafe_b64encode(digest[:18]).decode()

    # Clients

    def register_client(self, class_id, model, device, user, device_name):
        """Returns (client_id, client_secret, created). One client per device identity: a device
        that registers again gets the same credentials, so two registrations racing each other
        cannot leave the device with a secret the server no longer accepts."""
        identity = [class_id, model, device, user]
        with self.lock:
            for client_id, client in self.data["clients"].items():
                if client["identity"] == identity:
                    client["device_name"] = device_name
                    self._changed()
                    return client_id, client["secret"], False
            client_id = new_secret(12)
            secret = new_secret()
            self.data["clients"][client_id] = {
                "identity": identity,
                "device_name": device_name,
                "secret": secret,
                "algorithm": None,
                "pending_account": None,
            }
            self._changed()
            return client_id, secret, True

    def has_client(self, client_id):
        with self.lock:
            return client_id in self.data["clients"]

    def authenticate_client(self, client_id, secret):
        with self.lock:
            client = self.data["clients"].get(client_id)
            return client is not None and hmac.compare_digest(client["secret"], secret)

    def set_client_algorithm(self, client_id, algorithm):
        with self.lock:
            client = self.data["clients"].get(client_id)
            if client is None:
                return False
            client["algorithm"] = algorithm
            self._changed()
            return True

    # Accounts

    def find_account(self, email):
        with self.lock:
            return copy.deepcopy(self.data["accounts"].get(email.strip().lower()))

    def create_account(self, email, password, first_name, last_name, country, newsletter,
                       client_id=None, active=False):
        """Returns the activation URL path, or None when the address is taken."""
        key = email.strip().lower()
        password_hash = hash_password(password, iterations=self.password_iterations)
        with self.lock:
            if key in self.data["accounts"]:
                return None
            activation = new_secret()
            self.data["accounts"][key] = {
                "password": password_hash,
                "active": active or self.auto_activate,
                "activation": activation,
                "profile": {
                    "id": self._next_id(),
                    "email": email.strip(),
                    "first_name": first_name,
                    "last_name": last_name,
                    "country": country,
                    "send_newsletter": newsletter,
                },
            }
            if client_id in self.data["clients"]:
                # This device may log the account in by the client-credentials grant once the
                # account has been activated.
                self.data["clients"][client_id]["pending_account"] = key
            self._changed()
            return "/activate?token=" + activation

    def activate(self, email=None, activation=None):
        with self.lock:
            for key, account in self.data["accounts"].items():
                if key == (email or "").strip().lower() or (
                        activation and hmac.compare_digest(account["activation"], activation)):
                    account["active"] = True
                    self._changed()
                    return account["profile"]
            return None

    def check_login(self, email, password):
        """Returns (account key, None) or (None, reason)."""
        key = email.strip().lower()
        account = self.find_account(key)
        # Hashing is slow by design; it runs outside the lock.
        if account is None or not check_password(password, account["password"]):
            return None, "Wrong e-mail address or password!"
        if not account["active"]:
            return None, "Your account is not activated yet. Please check your e-mails."
        return key, None

    def profile(self, account_key):
        with self.lock:
            return dict(self.data["accounts"][account_key]["profile"])

    def update_profile(self, account_key, fields):
        with self.lock:
            profile = self.data["accounts"][account_key]["profile"]
            profile.update(fields)
            self._changed()
            return dict(profile)

    # Authorization codes

    def new_code(self, account_key, client_id, redirect_uri):
        code = new_secret()
        with self.lock:
            self.data["codes"][code] = {
                "account": account_key,
                "client": client_id,
                "redirect_uri": redirect_uri,
                "expires": self.clock() + CODE_LIFETIME,
                "used": False,
                "issued": [],
            }
            self._changed()
        return code

    # Token grants

    def grant_authorization_code(self, client_id, code, redirect_uri):
        with self.lock:
            self._purge()
            row = self.data["codes"].get(code)
            if row is None or row["client"] != client_id:
                raise GrantError("invalid_grant", "Unknown or expired authorization code")
            if row["used"]:
                # RFC 6749, 4.1.2: a code used twice revokes what it was exchanged for.
                self._revoke(lambda token: token.get("code") == code)
                self._changed()
                raise GrantError("invalid_grant", "Authorization code already used")
            if row["redirect_uri"] != redirect_uri:
                raise GrantError("invalid_grant", "redirect_uri does not match the authorization")
            row["used"] = True
            return self._issue(row["account"], client_id, code=code)

    def grant_refresh_token(self, client_id, refresh_token):
        with self.lock:
            row = self.data["refresh_tokens"].get(refresh_token)
            if row is None or row["client"] != client_id:
                raise GrantError("invalid_grant", "Unknown or revoked refresh token")
            account = self.data["accounts"].get(row["account"])
            if account is None or not account["active"]:
                raise GrantError("invalid_grant", "The account is not available")
            # Rotation: the used refresh token is gone once the new one is issued.
            del self.data["refresh_tokens"][refresh_token]
            return self._issue(row["account"], client_id, code=row["code"])

    def grant_client_credentials(self, client_id):
        with self.lock:
            client = self.data["clients"][client_id]
            key = client["pending_account"]
            account = self.data["accounts"].get(key) if key else None
            if account is None:
                raise GrantError("unauthorized_client",
                                 "No account has been registered through this client")
            if not account["active"]:
                raise GrantError("unauthorized_client", "The account is not activated yet")
            return self._issue(key, client_id)

    def _issue(self, account_key, client_id, code=None):
        client = self.data["clients"][client_id]
        # A login ends the device's claim on a registered account: afterwards only a password or
        # a refresh token logs in again.
        client["pending_account"] = None
        access, refresh = new_secret(24), new_secret()
        algorithm = client["algorithm"] or self.mac_algorithm
        self.data["access_tokens"][access] = {
            "key": new_secret(),
            "algorithm": algorithm,
            "account": account_key,
            "client": client_id,
            "expires": self.clock() + self.token_lifetime,
            "code": code,
        }
        self.data["refresh_tokens"][refresh] = {
            "account": account_key, "client": client_id, "code": code}
        self._changed()
        return {
            "access_token": access,
            "token_type": "mac",
            "expires_in": self.token_lifetime,
            "refresh_token": refresh,
            "secret": self.data["access_tokens"][access]["key"],
            "algorithm": algorithm,
        }

    def _revoke(self, predicate, tables=("access_tokens", "refresh_tokens")):
        count = 0
        for table in tables:
            rows = self.data[table]
            for key in [k for k, v in rows.items() if predicate(v)]:
                del rows[key]
                self.seen_nonces.pop(key, None)
                count += 1
        return count

    def revoke_account(self, email, tables):
        key = email.strip().lower()
        with self.lock:
            count = self._revoke(lambda token: token["account"] == key, tables)
            self._changed()
            return count

    # Access tokens, for MAC verification

    def access_token(self, token_id):
        """Returns (token row, None) or (None, reason)."""
        with self.lock:
            row = self.data["access_tokens"].get(token_id)
            if row is None:
                return None, "Unknown access token"
            if self.clock() >= row["expires"]:
                return None, "Access token expired"
            return dict(row), None

    def use_nonce(self, token_id, nonce):
        """False when the nonce was seen before with this token (a replayed request)."""
        with self.lock:
            seen = self.seen_nonces.setdefault(token_id, set())
            if nonce in seen:
                return False
            seen.add(nonce)
            return True

    # Login tokens for the manage-account page

    def new_login_token(self, account_key):
        token = new_secret()
        with self.lock:
            self.data["login_tokens"][token] = {
                "account": account_key, "expires": self.clock() + LOGIN_TOKEN_LIFETIME}
            self._changed()
        return token

    def redeem_login_token(self, token):
        with self.lock:
            self._purge()
            row = self.data["login_tokens"].pop(token, None)
            if row is None:
                return None
            self._changed()
            return self.profile(row["account"])

    # Notes, the sample collection of the API

    def add_note(self, account_key, fields):
        with self.lock:
            note = dict(fields)
            note["id"] = self._next_id()
            note["created"] = int(self.clock())
            self.data["notes"].setdefault(account_key, []).append(note)
            self._changed()
            return note

    def notes(self, account_key):
        with self.lock:
            return [dict(n) for n in self.data["notes"].get(account_key, [])]

    def delete_note(self, account_key, note_id):
        with self.lock:
            notes = self.data["notes"].get(account_key, [])
            for note in notes:
                if note["id"] == note_id:
                    notes.remove(note)
                    self._changed()
                    return note
            return None
