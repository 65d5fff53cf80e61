"""Shared machinery of the web-mail stand-ins.

A stand-in is a set of roles (one listener each on 127.0.0.1) and a site object that
turns each request into a response. This module owns everything that is not about a
particular service: listeners and TLS, the state folder (scenario, mailbox, messages,
request log), the scenario's failure and body rules, strict-check refusals, and the
exact bytes a response is written with.

Every request is answered on a connection of its own and the connection is closed.
Requests are handled one at a time (the site lock), which keeps the session model
simple: the agent sends one request at a time anyway.
"""

import argparse
import json
import os
import re
import secrets
import signal
import socketserver
import ssl
import string
import sys
import threading
import time
import urllib.parse
from http.server import ThreadingHTTPServer

IO_TIMEOUT = 10         # seconds any read or write on a connection may wait
MAX_HEADER_LINES = 100
MAX_LINE = 16 * 1024
MAX_BODY = 4 * 1024 * 1024
SPLIT_PAUSE = 0.2       # seconds between the two writes of a "split" body
PARENT_POLL = 0.5       # seconds between checks that the starting process still lives


class Refusal(Exception):
    """A request that differs from what the agent must send; the reason names it."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


class ScenarioError(Exception):
    """A scenario that asks for something the stand-in cannot do."""


class Request:
    def __init__(self, role, method, target, version, headers, body):
        self.role = role
        self.method = method
        self.target = target               # path with query, as sent
        self.version = version
        self.headers = headers             # [(name, value)] in order, names as sent
        self.body = body                   # bytes
        self.path, _, self.query = target.partition("?")
        self.broken = None                 # marker kind the page must leave out

    def header(self, name):
        """The first value of a header, name compared without regard to case."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    @property
    def host(self):
        return self.header("Host") or ""

    @property
    def url(self):
        """The URL as the client asked for it: the host as given, the role's port."""
        return "%s://%s:%d%s" % (self.role.scheme, self.host, self.role.port, self.target)

    def cookies(self):
        """The Cookie header's pairs, in order."""
        pairs = []
        for field in (self.header("Cookie") or "").split(";"):
            field = field.strip()
            if field:
                name, _, value = field.partition("=")
                pairs.append((name, value))
        return pairs


class Response:
    def __init__(self, status=200, reason="OK", body=b"", headers=None):
        self.status = status
        self.reason = reason
        self.body = body if isinstance(body, bytes) else body.encode("latin-1")
        self.headers = list(headers or [])
        self.mode = None          # body rule: {"mode": ..., "at": ...}
        self.no_answer = False    # close the connection without a word

    @classmethod
    def page(cls, text, status=200, reason="OK"):
        return cls(status, reason, text, [("Content-Type", "text/html; charset=iso-8859-1")])

    @classmethod
    def redirect(cls, location):
        return cls(302, "Found", "", [("Location", location)])

    @classmethod
    def close(cls):
        response = cls(0, "")
        response.no_answer = True
        return response

    def set_cookie(self, name, value):
        # Without a domain attribute: the client files it under the host it asked.
        self.headers.append(("Set-Cookie", "%s=%s; path=/" % (name, value)))

    def cookies_set(self):
        return [h[1].split(";")[0].partition("=")[::2] for h in self.headers if h[0] == "Set-Cookie"]


class Role:
    def __init__(self, name, scheme):
        self.name = name
        self.scheme = scheme
        self.port = 0


class CookieJar:
    """The client's cookies as a server that sets them without a domain attribute sees
    them: filed under the host that was asked, sent to every host whose name ends with
    it, one "name=value; " each in the order first set."""

    def __init__(self):
        self.entries = []       # [host, name, value]

    def remember(self, host, name, value):
        for entry in self.entries:
            if entry[0].lower() == host.lower() and entry[1].lower() == name.lower():
                entry[2] = value
                return
        self.entries.append([host, name, value])

    def line(self, host):
        return "".join("%s=%s; " % (n, v) for h, n, v in self.entries if host.lower().endswith(h.lower()))

    def value(self, name):
        return next((v for h, n, v in self.entries if n == name), None)


def check_headers(request, expected):
    """Refuses a request whose header lines are not exactly these [(name, value)], names
    in this order and as written, values equal; a value of None leaves the line out."""
    wanted = [(name, value) for name, value in expected if value is not None]
    names = [name for name, _ in request.headers]
    if names != [name for name, _ in wanted]:
        raise Refusal("header lines %s, expected %s" % (", ".join(names), ", ".join(n for n, _ in wanted)))
    for (name, value), (_, sent) in zip(wanted, request.headers):
        if sent != value:
            raise Refusal("%s: %r, expected %r" % (name, sent, value))


def percent(text):
    return urllib.parse.quote(text, safe="", encoding="latin-1", errors="replace")


def encode(text):
    """Letters and digits as they are, every other byte as "%" and two lower-case hex digits."""
    data = text.encode("latin-1") if isinstance(text, str) else text
    return "".join(chr(b) if chr(b) in string.ascii_letters + string.digits else "%%%02x" % b for b in data)


def token(n=16, extra=""):
    """A fresh random value: n letters and digits, then extra."""
    return "".join(secrets.choice(string.ascii_letters + string.digits) for _ in range(n)) + extra


def html_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def source_entities(line):
    """A message's bytes as a page shows them: & < > " as entities."""
    return line.replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;").replace(b'"', b"&quot;")


def first_difference(expected, got, what):
    """A reason naming where got leaves expected, with a little context."""
    at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    lo = max(0, at - 12)
    return "%s differs at byte %d: expected %r, got %r" % (what, at, expected[lo:at + 12], got[lo:at + 12])


def write_atomically(path, data):
    temp = "%s.tmp%d" % (path, threading.get_ident())
    with open(temp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)


class State:
    """The state folder: scenario.json, mailbox.json, messages/<id>, request logs."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(os.path.join(folder, "messages"), exist_ok=True)
        self.used = {}          # (scenario file identity, rule index) -> times applied

    def file(self, name):
        return os.path.join(self.folder, name)

    def scenario(self):
        """The scenario as the test wrote it last; {} when there is none."""
        try:
            with open(self.file("scenario.json"), "rb") as f:
                identity = os.fstat(f.fileno())
                data = json.loads(f.read().decode("utf-8") or "{}")
        except FileNotFoundError:
            return {}
        except ValueError as e:
            raise ScenarioError("scenario.json is not JSON: %s" % e) from e
        # A rewritten scenario counts its "times" afresh.
        data["_identity"] = (identity.st_ino, identity.st_mtime_ns)
        return data

    def mailbox(self):
        try:
            with open(self.file("mailbox.json"), "rb") as f:
                box = json.loads(f.read().decode("utf-8") or "{}")
        except FileNotFoundError:
            box = {}
        for key in ("inbox", "trash", "read"):
            box.setdefault(key, [])
        return box

    def save_mailbox(self, box):
        write_atomically(self.file("mailbox.json"), json.dumps(box, indent=1).encode("utf-8"))

    def message(self, msg_id):
        with open(os.path.join(self.folder, "messages", msg_id), "rb") as f:
            return f.read()

    def log(self, request, response, refused):
        """One line per request in requests.jsonl, and the same in requests.tsv (every
        field percent-encoded, headers as "name: value" lines) for readers without JSON."""
        status = None if response.no_answer else response.status
        body = request.body.decode("latin-1")
        entry = {"role": request.role.name, "method": request.method, "path": request.target,
                 "headers": [list(h) for h in request.headers], "body": body,
                 "status": status, "refused": refused}
        fields = [request.role.name, request.method, request.target, "" if status is None else str(status),
                  refused or "", body, "\n".join("%s: %s" % h for h in request.headers)]
        with open(self.file("requests.jsonl"), "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")
        with open(self.file("requests.tsv"), "a", encoding="ascii") as f:
            f.write("\t".join(percent(x) for x in fields) + "\n")

    def rule(self, scenario, key, step, msg_id=None):
        """The first rule under scenario[key] (one object or a list) for this step that
        still applies: "ids" limits it to those message ids, "times" to that many uses."""
        rules = scenario.get(key) or []
        if isinstance(rules, dict):
            rules = [rules]
        for index, rule in enumerate(rules):
            if rule.get("step") != step:
                continue
            if "ids" in rule and msg_id not in rule["ids"]:
                continue
            counter = (scenario["_identity"] if "_identity" in scenario else None, key, index)
            if "times" in rule and self.used.get(counter, 0) >= rule["times"]:
                continue
            self.used[counter] = self.used.get(counter, 0) + 1
            return rule
        return None


class Connection(socketserver.StreamRequestHandler):
    """Reads one request exactly as sent, lets the site answer it, writes the answer."""

    timeout = IO_TIMEOUT

    def setup(self):
        if self.server.tls is not None:
            self.request.settimeout(IO_TIMEOUT)
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def read_line(self):
        line = self.rfile.readline(MAX_LINE + 1)
        if len(line) > MAX_LINE:
            raise Refusal("a header line is longer than %d bytes" % MAX_LINE)
        return line

    def read_request(self):
        """The request, or a Refusal for framing the stand-in will not read further."""
        first = self.read_line()
        if not first:
            return None
        role = self.server.role
        text = first.decode("latin-1")
        match = re.fullmatch(r"([A-Z]+) (\S+) (HTTP/\d\.\d)\r\n", text)
        if not match:
            return Request(role, "?", text.strip(), "", [], b""), "request line %r is malformed" % text
        method, target, version = match.groups()
        headers = []
        while True:
            line = self.read_line().decode("latin-1")
            if line in ("\r\n", ""):
                break
            if not line.endswith("\r\n"):
                return Request(role, method, target, version, headers, b""), "header line %r does not end with CR LF" % line
            name, colon, value = line[:-2].partition(":")
            if not colon:
                return Request(role, method, target, version, headers, b""), "header line %r has no colon" % line
            headers.append((name, value.lstrip(" \t")))
            if len(headers) > MAX_HEADER_LINES:
                return Request(role, method, target, version, headers, b""), "too many header lines"
        request = Request(role, method, target, version, headers, b"")
        length = request.header("content-length")
        if length is not None:
            if not length.isdigit() or int(length) > MAX_BODY:
                return request, "content-length %r is not a usable length" % length
            request.body = self.rfile.read(int(length))
            if len(request.body) != int(length):
                return request, "the body ended after %d of %s bytes" % (len(request.body), length)
        return request, None

    def handle(self):
        try:
            got = self.read_request()
        except (OSError, Refusal) as e:
            sys.stderr.write("%s: unreadable request: %s\n" % (self.server.role.name, e))
            return
        if got is None:
            return
        request, framing = got
        response = self.server.site.answer(request, framing)
        if not response.no_answer:
            write_response(self.wfile, response)


def chunk_bounds(length, at):
    """Where a chunked body is cut: at "at" when given, and halfway through the rest."""
    first = at if at is not None and 0 < at < length else length // 3
    second = first + (length - first) // 2
    return [b for b in sorted({0, first, second, length}) if b <= length]


def write_response(out, response):
    """Writes the status line, the headers and the body, shaped by the response's body rule."""
    body = response.body
    rule = response.mode or {}
    mode = rule.get("mode")
    at = rule.get("at")
    head = ["HTTP/1.1 %d %s" % (response.status, response.reason)]
    head += ["%s: %s" % h for h in response.headers]
    if mode in ("chunked", "chunked_nolast"):
        head.append("Transfer-Encoding: chunked")
    else:
        announced = len(body) + 1 if mode == "short1" else len(body)
        head.append("Content-Length: %d" % announced)
    head.append("Connection: close")
    out.write(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))
    if mode in ("chunked", "chunked_nolast"):
        bounds = chunk_bounds(len(body), at)
        for n, (lo, hi) in enumerate(zip(bounds, bounds[1:])):
            # Upper- and lower-case sizes and an extension, all of which a client must read.
            size = ("%X;piece=%d" % (hi - lo, n)) if n % 2 else ("%x" % (hi - lo))
            out.write(size.encode("ascii") + b"\r\n" + body[lo:hi] + b"\r\n")
        if mode == "chunked":
            out.write(b"0\r\n\r\n")
    elif mode == "early_close":
        out.write(body[:at if at is not None else len(body) // 2])
    elif mode == "split":
        cut = at if at is not None else len(body) // 2
        out.write(body[:cut])
        out.flush()
        time.sleep(SPLIT_PAUSE)
        out.write(body[cut:])
    elif mode in (None, "short1"):
        out.write(body)
    else:
        raise ScenarioError("unknown body mode %r" % mode)
    out.flush()


class Listener(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, role, site, tls):
        self.role = role
        self.site = site
        self.tls = tls
        super().__init__(("127.0.0.1", 0), Connection)
        role.port = self.server_address[1]

    def handle_error(self, request, client_address):
        sys.stderr.write("%s: connection ended: %s\n" % (self.role.name, sys.exc_info()[1]))


class Site:
    """The base of a stand-in: dispatches a request under the site lock, turns refusals
    and scenario mistakes into answers, logs every request before it is answered.

    A subclass defines respond(request, scenario) -> Response and
    refuse(request, reason) -> Response."""

    def __init__(self, state):
        self.state = state
        self.lock = threading.Lock()

    def answer(self, request, framing):
        with self.lock:
            refused = None
            try:
                if framing:
                    raise Refusal(framing)
                scenario = self.state.scenario()
                response = self.respond(request, scenario)
                rule = self.state.rule(scenario, "body", self.step_of(request), self.message_of(request))
                if rule and not response.no_answer:
                    response.mode = rule
                self.answered(request, response)
            except Refusal as e:
                refused = e.reason
                response = self.refuse(request, e.reason)
            except ScenarioError as e:
                refused = "scenario: %s" % e
                response = Response.page("<html><body>Stand-in scenario error: %s</body></html>" % html_escape(str(e)),
                                         500, "Scenario Error")
            except Exception as e:  # a fault of the stand-in itself must show in the test, not hang it
                refused = "stand-in fault: %r" % e
                response = Response.page("<html><body>Stand-in fault</body></html>", 500, "Stand-in Fault")
            self.state.log(request, response, refused)
            return response

    def run_step(self, request, scenario, step, handler=None):
        """A step's check (it refuses, or returns a Response to give at once or a value
        for the page), then the scenario's failure (self.fault), then its page: the
        methods check_<handler> and page_<handler>, the handler named after the step
        unless given."""
        handler = handler or step
        checked = getattr(self, "check_" + handler)(request, scenario)
        if isinstance(checked, Response):
            return checked
        failed = self.fault(request, scenario, step, self.message_of(request))
        return failed or getattr(self, "page_" + handler)(request, scenario, checked)

    def step_of(self, request):
        return None

    def message_of(self, request):
        return None

    def answered(self, request, response):
        """Called with every answer the site gave (not refusals)."""


def tls_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def serve(site, roles, cert=None, key=None):
    """Listens for every role, prints "PORTS <port> ..." in role order, and serves until
    SIGTERM or SIGINT, or until the process that started it ends."""
    listeners = []
    for role in roles:
        tls = tls_context(cert, key) if role.scheme == "https" else None
        listeners.append(Listener(role, site, tls))
    for listener in listeners:
        threading.Thread(target=listener.serve_forever, daemon=True).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    parent = os.getppid()
    sys.stdout.write("PORTS %s\n" % " ".join(str(r.port) for r in roles))
    sys.stdout.flush()
    # A stand-in must not outlive a test program that died without stopping it.
    while not stop.wait(PARENT_POLL):
        if os.getppid() != parent:
            break
    # The serving threads are daemons and end with the process; state files are only
    # ever replaced whole, so no request in flight can leave them torn.
    for listener in listeners:
        listener.server_close()


def arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--state", required=True, help="state folder (scenario, mailbox, messages, logs)")
    parser.add_argument("--cert", help="certificate for the HTTPS roles")
    parser.add_argument("--key", help="its private key")
    return parser.parse_args()

