"""A small OAuth2 authorization server for the tests, on 127.0.0.1 over plain HTTP (allowed for
loopback hosts only): the device authorization grant (RFC 8628), the authorization code grant
with a PKCE check (RFC 7636, S256), refresh tokens, token introspection (RFC 7662, which the
test Dovecot's oauth2 passdb asks) and revocation (RFC 7009). No test reaches a real provider.

A test plays the person at the browser: approve() signs a device code in, authorize() follows
the browser address the program printed and returns where the provider would send the browser.
It can also expire a user's access tokens early or revoke a user's sign-in."""

import base64
import hashlib
import json
import secrets
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID = "postvane-test-client"


class AuthServer:
    def __init__(self, lifetime=3600, client_id=CLIENT_ID):
        self.lifetime = lifetime
        self.client_id = client_id
        self.lock = threading.Lock()
        self.devices = {}     # device_code -> {"user_code", "user" (None until approved), "scope"}
        self.codes = {}       # code -> {"challenge", "redirect_uri", "user"}
        self.refresh = {}     # refresh token -> user (revoked ones leave)
        self.access = {}      # access token -> (user, expires)
        self.requests = []    # (path, form) of every POST, for the tests to read
        server = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, status, body, headers=()):
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                for name, value in headers:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(data)

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
                with server.lock:
                    server.requests.append((self.path, form))
                    status, body = server.handle(self.path, form)
                self.reply(status, body)

            def do_GET(self):
                status, body = 404, {"error": "not_found"}
                self.reply(status, body)

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    # --- what the person at the browser does -------------------------------------------------

    def approve(self, user_code, user):
        with self.lock:
            for device in self.devices.values():
                if device["user_code"] == user_code:
                    device["user"] = user
                    return
        raise AssertionError(f"no device code {user_code}")

    def authorize(self, address, user):
        """The browser at the printed address: the user signs in; returns the redirect address."""
        parsed = urllib.parse.urlparse(address)
        q = dict(urllib.parse.parse_qsl(parsed.query))
        assert parsed.path == "/authorize", address
        assert q["response_type"] == "code" and q["client_id"] == self.client_id, q
        assert q["code_challenge_method"] == "S256", q
        code = secrets.token_urlsafe(16)
        with self.lock:
            self.codes[code] = {"challenge": q["code_challenge"], "redirect_uri": q["redirect_uri"], "user": user}
        return q["redirect_uri"] + "?" + urllib.parse.urlencode({"code": code, "state": q["state"]})

    # --- what the provider's administrator does ----------------------------------------------

    def expire_access(self, user):
        """The user's access tokens stop working before their time (the program still thinks
        they are good)."""
        with self.lock:
            for token, (owner, _) in list(self.access.items()):
                if owner == user:
                    self.access[token] = (owner, 0)

    def revoke_user(self, user):
        with self.lock:
            for token, owner in list(self.refresh.items()):
                if owner == user:
                    del self.refresh[token]
            for token, (owner, _) in list(self.access.items()):
                if owner == user:
                    del self.access[token]

    def grants(self, grant_type):
        return [form for path, form in self.requests if path == "/token" and form.get("grant_type") == grant_type]

    def secrets_issued(self):
        with self.lock:
            return list(self.refresh) + list(self.access)

    # --- the endpoints -------------------------------------------------------------------------

    def issue(self, user, refresh=None):
        access = "at-" + secrets.token_urlsafe(24)
        self.access[access] = (user, time.time() + self.lifetime)
        if refresh is None:
            refresh = "rt-" + secrets.token_urlsafe(24)
            self.refresh[refresh] = user
        return {"access_token": access, "token_type": "Bearer", "expires_in": self.lifetime, "refresh_token": refresh}

    def handle(self, path, form):
        if path in ("/token", "/device") and form.get("client_id") != self.client_id:
            return 401, {"error": "invalid_client"}
        if path == "/device":
            device_code = secrets.token_urlsafe(16)
            user_code = "%04d-%04d" % (secrets.randbelow(10000), secrets.randbelow(10000))
            self.devices[device_code] = {"user_code": user_code, "user": None, "scope": form.get("scope")}
            return 200, {"device_code": device_code, "user_code": user_code,
                         "verification_uri": self.url + "/devicelogin", "expires_in": 60, "interval": 1}
        if path == "/token":
            grant = form.get("grant_type")
            if grant == "urn:ietf:params:oauth:grant-type:device_code":
                device = self.devices.get(form.get("device_code"))
                if device is None:
                    return 400, {"error": "expired_token"}
                if device["user"] is None:
                    return 400, {"error": "authorization_pending"}
                del self.devices[form["device_code"]]
                return 200, self.issue(device["user"])
            if grant == "authorization_code":
                entry = self.codes.pop(form.get("code"), None)
                if entry is None or entry["redirect_uri"] != form.get("redirect_uri"):
                    return 400, {"error": "invalid_grant", "error_description": "unknown code"}
                verifier = form.get("code_verifier", "")
                challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
                if challenge != entry["challenge"]:
                    return 400, {"error": "invalid_grant", "error_description": "PKCE verifier does not match"}
                return 200, self.issue(entry["user"])
            if grant == "refresh_token":
                user = self.refresh.get(form.get("refresh_token"))
                if user is None:
                    return 400, {"error": "invalid_grant", "error_description": "the refresh token was revoked"}
                return 200, self.issue(user, refresh=form["refresh_token"])
            return 400, {"error": "unsupported_grant_type"}
        if path == "/introspect":
            user, expires = self.access.get(form.get("token"), (None, 0))
            if user is None or expires < time.time():
                return 200, {"active": False}
            return 200, {"active": True, "username": user, "exp": int(expires)}
        if path == "/revoke":
            self.refresh.pop(form.get("token"), None)
            return 200, {}
        return 404, {"error": "not_found"}
