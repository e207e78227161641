#!/usr/bin/env python3
"""A small stand-in of the listing site, for trying the program out on one machine.

Serves on 127.0.0.1 only:
  HTTP   GET  /seek/cache_details.aspx?wp=CODE   listing pages made from a sample page; the
                                                  coordinates are shown only to a signed-in
                                                  session cookie; codes not starting with GC: 404
  HTTP   POST /datastore/favorites.svc/score?u=T  the favourites score (a number)
  HTTPS  GET  /login/default.aspx?RESET=Y         the login page: a fresh session cookie and
                                                  the form's hidden view state
  HTTPS  POST /login/default.aspx                 the login form: signs the session in when the
                                                  view state, user name and password match

The HTTPS certificate is issued at start by a throw-away authority made with the `openssl`
command; its certificate is written to STATE/ca.pem for the client to trust (SSL_CERT_FILE).
When both servers listen, STATE/ready holds "HTTP_PORT HTTPS_PORT".

Standard library only.
"""

import argparse
import http.server
import os
import secrets
import socketserver
import ssl
import subprocess
import sys
import threading
import urllib.parse

SESSION_NAME = "ASP.NET_SessionId"


class Site:
    def __init__(self, page_template, host, user, password):
        self.page_template = page_template
        self.host = host
        self.user = user
        self.password = password
        self.lock = threading.Lock()
        self.view_states = {}   # session id -> view state handed out with the login page
        self.signed_in = set()  # session ids that passed the login
        self.favorites = []     # (token, cookie) of every favourites request

    def new_session(self):
        sid = secrets.token_hex(12)
        with self.lock:
            self.view_states[sid] = "/wEPDw" + secrets.token_urlsafe(24) + "=="
        return sid

    def seed_signed_in_session(self):
        sid = self.new_session()
        with self.lock:
            self.signed_in.add(sid)
        return sid

    def is_signed_in(self, sid):
        with self.lock:
            return sid in self.signed_in

    def page(self, code, signed_in):
        text = self.page_template.replace("GC1TAMV", code).replace("listing.tamvirel.example", self.host)
        if not signed_in:
            # What the site shows a visitor: everything but the coordinates.
            start = text.find('<span id="uxLatLon">')
            end = text.find("</span>", start)
            if start >= 0 and end >= 0:
                text = text[:start] + text[end + len("</span>"):]
        return text.encode("utf-8")


def session_of(headers):
    for part in (headers.get("Cookie") or "").split(";"):
        name, _, value = part.strip().partition("=")
        if name == SESSION_NAME:
            return value
    return ""


def make_handler(site, secure):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "stand-in"

        def log_message(self, fmt, *args):
            if os.environ.get("SITE_VERBOSE"):
                sys.stderr.write("site: " + (fmt % args) + "\n")

        def reply(self, status, body, content_type="text/html; charset=utf-8", cookie=None):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            if cookie:
                self.send_header("Set-Cookie", cookie)
            self.end_headers()
            self.wfile.write(body)

        def read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length > 0 else b""

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            if not secure and url.path == "/seek/cache_details.aspx":
                code = urllib.parse.parse_qs(url.query).get("wp", [""])[0]
                if not code.startswith("GC"):
                    return self.reply(404, b"<html><body>Not found</body></html>")
                return self.reply(200, site.page(code, site.is_signed_in(session_of(self.headers))))
            if secure and url.path == "/login/default.aspx":
                sid = site.new_session()
                with site.lock:
                    state = site.view_states[sid]
                page = ('<html><body><form method="post" action="default.aspx">'
                        '<input type="hidden" name="__VIEWSTATE" id="__VIEWSTATE" value="%s" />'
                        '<input name="ctl00$ContentBody$tbUsername" /><input name="ctl00$ContentBody$tbPassword" />'
                        '</form></body></html>' % state)
                return self.reply(200, page.encode(), cookie="%s=%s; path=/; HttpOnly" % (SESSION_NAME, sid))
            self.reply(404, b"<html><body>Not found</body></html>")

        def do_POST(self):
            url = urllib.parse.urlsplit(self.path)
            body = self.read_body()
            if not secure and url.path == "/datastore/favorites.svc/score":
                token = urllib.parse.parse_qs(url.query).get("u", [""])[0]
                with site.lock:
                    site.favorites.append((token, self.headers.get("Cookie") or ""))
                return self.reply(200, b"42", content_type="application/json")
            if secure and url.path == "/login/default.aspx":
                sid = session_of(self.headers)
                form = urllib.parse.parse_qs(body.decode("utf-8", "replace"), keep_blank_values=True)
                field = lambda name: form.get(name, [""])[0]
                with site.lock:
                    state_ok = sid in site.view_states and field("__VIEWSTATE") == site.view_states[sid]
                if (state_ok and field("ctl00$ContentBody$tbUsername") == site.user
                        and field("ctl00$ContentBody$tbPassword") == site.password
                        and field("ctl00$ContentBody$btnSignIn") == "Login"):
                    with site.lock:
                        site.signed_in.add(sid)
                    return self.reply(200, ('<html><body><div class="FormSummaryWidget FormSuccessWidget">'
                                            'You are signed in as %s</div></body></html>' % site.user).encode())
                return self.reply(200, b"<html><body><p class=\"Validation\">The username or password "
                                       b"you entered does not match.</p></body></html>")
            self.reply(404, b"<html><body>Not found</body></html>")

    return Handler


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_certificates(state):
    """A throw-away authority and a certificate for localhost/127.0.0.1 signed by it."""
    def run(*args):
        subprocess.run(["openssl", *args], check=True, cwd=state, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=stand-in site CA",
        "-keyout", "ca.key", "-out", "ca.pem")
    run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", "site.key", "-out", "site.csr")
    with open(os.path.join(state, "site.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    run("x509", "-req", "-in", "site.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-days", "2", "-extfile", "site.ext", "-out", "site.pem")
    return os.path.join(state, "site.pem"), os.path.join(state, "site.key")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Stand-in of the listing site on 127.0.0.1.")
    ap.add_argument("--state", required=True, help="folder for the certificates and the ready file")
    ap.add_argument("--http-port", type=int, default=0, help="0 picks a free port")
    ap.add_argument("--https-port", type=int, default=0, help="0 picks a free port")
    ap.add_argument("--host", default="localhost", help="the host name the pages name")
    ap.add_argument("--page", default=os.path.join(here, "..", "GC1TAMV.htm"), help="the sample listing page")
    ap.add_argument("--user", default="tamara")
    ap.add_argument("--password", default="tajn\u00e9 heslo&1")
    ap.add_argument("--seed-session", action="store_true",
                    help="also make one signed-in session and write its cookie to STATE/session")
    args = ap.parse_args()

    os.makedirs(args.state, exist_ok=True)
    with open(args.page, encoding="utf-8") as f:
        site = Site(f.read(), args.host, args.user, args.password)

    cert, key = make_certificates(args.state)
    plain = Server(("127.0.0.1", args.http_port), make_handler(site, secure=False))
    secure = Server(("127.0.0.1", args.https_port), make_handler(site, secure=True))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    secure.socket = context.wrap_socket(secure.socket, server_side=True)

    if args.seed_session:
        with open(os.path.join(args.state, "session"), "w") as f:
            f.write("%s=%s;" % (SESSION_NAME, site.seed_signed_in_session()))
    for server in (plain, secure):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(args.state, "ready.tmp"), "w") as f:
        f.write("%d %d\n" % (plain.server_address[1], secure.server_address[1]))
    os.replace(os.path.join(args.state, "ready.tmp"), os.path.join(args.state, "ready"))
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
