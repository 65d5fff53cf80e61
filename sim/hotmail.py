#!/usr/bin/python3
"""The Hotmail stand-in: the sign-in pages, the CGI mailbox and the Windows Live
mailbox (hotmail_live.py), served strictly.

Roles: "start" (the mail start page, HTTP), "login" (the sign-in server, HTTPS) and
"mail" (the mailbox pages, HTTP). A request that differs from what the agent must send
(header lines, Referer, cookies, form bodies, exact URLs, order of the steps) is refused
with a page that names the difference. See README.md for the scenario keys.
"""

import math
import os
import re
import secrets
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import hotmail_live  # noqa: E402
import simcore  # noqa: E402
from simcore import Refusal, Response, ScenarioError, encode, html_escape, token  # noqa: E402

USER_AGENT = "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.0; Trident/4.0)"
FORM_TYPE = "application/x-www-form-urlencoded"
PAD = "IfYouAreReadingThisYouHaveTooMuchFreeTime"
INBOX, TRASH, JUNK = "F000000001", "F000000004", "F000000005"
MAIL_HOST, LOGIN_HOST = "127.0.0.1", "localhost"
DEFAULT_ADDRESS, DEFAULT_PASSWORD = "tester@hotmail.com", "secret"
# The intermediate form's second field: a blank and "&" so that its encoding shows.
NAP_VALUE = "V=1.9&E=a1 b&C=f*x"
REFUSED_TITLE = "Stand-in refused the request"

# Steps by role and path; getmsg is split into fetch, mark and move by its query.
STEPS = {
    ("start", "/"): "start",
    ("login", "/ppsecure/post.srf"): "login",
    ("login", "/ppsecure/finish.srf"): "form",
    ("mail", "/cgi-bin/wsignin"): "wsignin",
    ("mail", "/ppsecure/loginmsn.srf"): "cookie",
    ("mail", "/cgi-bin/sbox"): "sbox",
    ("mail", "/cgi-bin/hmhome"): "home",
    ("mail", "/cgi-bin/HoTMaiL"): "dir",
}
METHODS = {"login": "POST", "form": "POST"}
LISTING_STEPS = ("dir", "getmsg", "mark", "move")
ERROR_PAGES = {"/toobusy.html": "toobusy", "/cgi-bin/fm_shell.asp": "fm_shell", "/LoginError.aspx": "login_error"}
# Kinds that leave one marker out of the page of the steps named, so that one login
# part fails.
MARKER_STEPS = {"no_wsignin": ("login", "form"), "no_sbox_url": ("wsignin",), "no_cookie_url": ("wsignin",),
                "no_home": ("sbox",), "no_inbox": ("home", "sbox"), "no_trash": ("dir",),
                **hotmail_live.MARKER_STEPS}
MAILBOXES = ("cgi", "classic", "full")
LOGIN_ERRORS = {"login_error": ("80048821", "Sign-in refused", "The account is blocked for a while."),
                "login_error_code": ("80041012", None, None)}
GETMSG_QUERY = re.compile(r"msg=([^&]*)&(.*)&a=([^&]*)")
DIR_QUERY = re.compile(r"page=([1-9][0-9]*)&wo=&msg=&curmbox=" + INBOX + r"&a=([^&]*)&sort=date")


def login_body(address, password, ppft):
    pad = PAD[:41 - len(password)] if len(password) < 41 else ""
    return ("login=" + encode(address) + "&passwd=" + encode(password) + "&sec=&mspp_shared=&PwdPad=" + encode(pad)
            + "&PPSX=Pas&LoginOptions=3&PPFT=" + encode(ppft))


def handed_out(value, what):
    if value is None:
        raise Refusal("%s followed before a page handed one out" % what)


class Session:
    """One sign-in, from the start page on: the values handed out and the client's
    cookies as the stand-in set them."""

    def __init__(self):
        self.qs = "lc=1033&id=64855&bk=%d" % (secrets.randbelow(10 ** 9) + 10 ** 9)
        # Tokens hold bytes that must be percent-encoded in the bodies that carry them.
        self.ppft = token(24, "!*$")
        self.t2 = token(20, "*!")
        self.t3 = None          # handed out with the sign-in link
        self.t4 = None          # handed out with the sbox link
        self.key = token(12)
        self.login_done = False
        self.cookie_done = False
        self.home_offered = False
        self.jar = simcore.CookieJar()
        self.last_url = None    # the previous request's URL: the next one's Referer
        self.inbox_page = None  # URL of the page with the inbox link: the listing's Referer
        self.live = None        # a Live mailbox's session, once the sign-in link led to one


class Hotmail(hotmail_live.LiveMailbox, simcore.Site):
    def __init__(self, state):
        super().__init__(state)
        self.roles = {name: simcore.Role(name, scheme) for name, scheme in
                      (("start", "http"), ("login", "https"), ("mail", "http"))}
        self.session = Session()
        self.login_errors = {}  # error code -> (title, text) for LoginError.aspx

    # --- framework hooks

    def step_of(self, req):
        live = self.live_step(req)
        if live:
            return live
        if req.role.name == "mail" and req.path == "/cgi-bin/getmsg":
            if "&_HMaction=" in req.query:
                return "move"
            return "getmsg" if "&raw=0" in req.query else "mark"
        return STEPS.get((req.role.name, req.path))

    def message_of(self, req):
        live = self.live_step(req)
        if live:
            return self.live_message(req, live)
        match = GETMSG_QUERY.fullmatch(req.query) if req.path == "/cgi-bin/getmsg" else None
        return match.group(1) if match else None

    def answered(self, req, response):
        for name, value in response.cookies_set():
            self.session.jar.remember(req.host, name, value)
        if req.path not in ERROR_PAGES and not response.no_answer:
            self.session.last_url = req.url

    def respond(self, req, scenario):
        if req.path in ERROR_PAGES:
            return self.error_page(req)
        live = self.live_step(req)
        step = self.step_of(req)
        if step is None:
            raise Refusal("no page %s on the %s server" % (req.path, req.role.name))
        if step == "start":
            self.session = Session()
        # The Live steps share some names with the CGI ones (mark, move) but not their pages.
        handler = "live_" + step if live else step
        self.check_headers(req, *(self.live_lines(req, step) if live else self.cgi_lines(step)))
        return self.run_step(req, scenario, step, handler)

    def refuse(self, req, reason):
        if req.role.name == "start":
            phrase = "%s: %s" % (REFUSED_TITLE, reason.encode("ascii", "replace").decode("ascii"))
            return Response.page("<html><body>%s</body></html>" % html_escape(phrase), 400, phrase)
        if req.role.name == "login":
            code = "8004%04x" % (len(self.login_errors) + 1)
            self.login_errors[code] = (REFUSED_TITLE, reason)
            return Response.redirect(self.login_url("/LoginError.aspx?error=%s&x=1" % code))
        return Response.page('<html><body><div class="errorText">%s: %s</div></body></html>'
                             % (REFUSED_TITLE, html_escape(reason)))

    # --- checks shared by the steps

    def cgi_lines(self, step):
        """The method and the header lines between Host and Cookie a CGI step needs."""
        if step == "start":
            referer = None
        elif step in LISTING_STEPS:
            referer = self.session.inbox_page
            if referer is None:
                raise Refusal("%s request before a page with the inbox link was served" % step)
        else:
            referer = self.session.last_url
            if referer is None:
                raise Refusal("%s request before the start page" % step)
        return METHODS.get(step, "GET"), hotmail_live.page_lines(referer)

    def check_headers(self, req, method, lines):
        """lines: the step's own header lines, [(name, value)] in order, between Host and
        Cookie."""
        if req.method != method:
            raise Refusal("method %s, expected %s" % (req.method, method))
        if req.version != "HTTP/1.1":
            raise Refusal("version %s, expected HTTP/1.1" % req.version)
        cookies = self.session.jar.line(req.host)
        expected = (["User-Agent", "Host"] + [name for name, _ in lines] + (["Cookie"] if cookies else [])
                    + (["content-type", "content-length"] if method == "POST" else []))
        names = [name for name, _ in req.headers]
        if names != expected:
            raise Refusal("header lines %s, expected %s" % (", ".join(names), ", ".join(expected)))
        values = dict(lines, **{"User-Agent": USER_AGENT, "Cookie": cookies, "content-type": FORM_TYPE})
        for name, value in req.headers:
            if name in values and value != values[name]:
                raise Refusal("%s: %r, expected %r" % (name, value, values[name]))
        if req.host not in (MAIL_HOST, LOGIN_HOST):
            raise Refusal("Host: %r, expected the host name without port" % req.host)

    def check_query(self, req, expected, what):
        if req.query != expected:
            raise Refusal(simcore.first_difference(expected, req.query, what + " query"))

    def need_cookie(self, req, name, why):
        value = self.session.jar.value(name)
        if value is None or (name, value) not in req.cookies():
            raise Refusal("%s needs the %s cookie %s" % (req.path, name, why))

    def fault(self, req, scenario, step, msg_id=None):
        """The scenario's failure for this step: an answer to give instead of the page,
        or None (a marker kind is left in req.broken for the page to honour)."""
        rule = self.state.rule(scenario, "fail", step, msg_id)
        if rule is None:
            return None
        kind = rule.get("kind")
        if kind in MARKER_STEPS:
            if step not in MARKER_STEPS[kind]:
                raise ScenarioError("kind %s does not apply to step %s" % (kind, step))
            req.broken = kind
            return None
        if kind == "locked" or kind in LOGIN_ERRORS:
            if step != "login":
                raise ScenarioError("kind %s applies to step login only" % kind)
            if kind == "locked":
                return Response.page("<html><body onload=\"onLoad_LockedOut()\">Account locked</body></html>")
            code, title, text = LOGIN_ERRORS[kind]
            self.login_errors[code] = (title, text)
            return Response.redirect(self.login_url("/LoginError.aspx?error=%s&x=1" % code))
        mail = "http://%s:%d" % (MAIL_HOST, self.roles["mail"].port)
        answers = {
            "toobusy": lambda: Response.redirect(mail + "/toobusy.html"),
            "fm_shell": lambda: Response.redirect("/cgi-bin/fm_shell.asp?err=Mailbox%20is%20unavailable&x=1"),
            "machinedown": lambda: Response.redirect("/cgi-bin/fm_shell.asp?content=machinedown"),
            "fpp": lambda: Response.page('<html><script>HM.FppError(1,"The action could not be completed.");'
                                         "</script></html>"),
            "errortext": lambda: Response.page('<html><body><div class="errorText">Your mailbox &amp; folders are '
                                               "unavailable.</div></body></html>"),
            "http500": lambda: Response.page("<html>Internal error</html>", 500, "Internal Server Error"),
            "close": Response.close,
        }
        if kind not in answers:
            raise ScenarioError("unknown failure kind %r" % kind)
        return answers[kind]()

    def login_url(self, path):
        return "https://%s:%d%s" % (LOGIN_HOST, self.roles["login"].port, path)

    def mail_url(self, path):
        return "http://%s:%d%s" % (MAIL_HOST, self.roles["mail"].port, path)

    # --- pages

    def error_page(self, req):
        kind = ERROR_PAGES[req.path]
        if kind == "toobusy":
            return Response.page("<html><body><h1>Server too busy</h1></body></html>")
        if kind == "fm_shell":
            return Response.page("<html><body>Your mailbox could not be opened.</body></html>")
        code = urllib.parse.parse_qs(req.query).get("error", [""])[0]
        title, text = self.login_errors.get(code, (None, None))
        parts = ['<div id="errorTitle">%s</div>' % html_escape(title) if title else "",
                 '<div id="errorText">%s</div>' % html_escape(text) if text else ""]
        return Response.page("<html><body><h1>Sign-in problem</h1>%s</body></html>" % "".join(parts))

    # Each step has a check (refusals; it may return a value for the page, or a
    # Response to give at once) and a page; the scenario's failure comes between them.

    def check_start(self, req, scenario):
        self.check_query(req, "", "start page")

    def page_start(self, req, scenario, _):
        s = self.session
        page = ("<html><head><title>Sign In</title>\n<script type=\"text/javascript\">\n"
                "var srf_uPost='%s';\nvar g_QS=\"%s\";\n"
                "var srf_sFT='<input type=\"hidden\" name=\"PPFT\" id=\"i0327\" value=\"%s\"/>';\n"
                "</script></head><body>Sign in</body></html>\n"
                % (self.login_url("/ppsecure/post.srf?" + s.qs), s.qs, s.ppft))
        response = Response.page(page)
        response.set_cookie("MSPRequ", token(10))
        return response

    def check_login(self, req, scenario):
        s = self.session
        self.check_query(req, s.qs, "sign-in")
        body = req.body.decode("latin-1")
        address = scenario.get("address", DEFAULT_ADDRESS)
        password = scenario.get("password", DEFAULT_PASSWORD)
        sent = re.match(r"login=([^&]*)&passwd=([^&]*)&", body)
        if sent:
            # Judge the encoding against what was sent, the credentials against the scenario.
            address_sent, password_sent = (urllib.parse.unquote(v, "latin-1") for v in sent.groups())
        else:
            address_sent, password_sent = address, password
        expected = login_body(address_sent, password_sent, s.ppft)
        if body != expected:
            raise Refusal(simcore.first_difference(expected, body, "sign-in body"))
        if (address_sent, password_sent) != (address, password):
            return Response.page("<html><script>var srf_fError=1;\n"
                                 "var srf_sErr=\"The e-mail address or password is incorrect.\";\n"
                                 "</script></html>")
        return None

    def page_login(self, req, scenario, _):
        s = self.session
        s.login_done = True
        if scenario.get("intermediate_form", True):
            response = Response.page(
                "<html><body onload=\"document.fmHF.submit()\">\n"
                "<form name=\"fmHF\" id=\"fmHF\" action=\"%s\" method=\"post\" target=\"_top\">\n"
                "<input type=\"hidden\" name=\"t\" id=\"t\" value=\"%s\">\n"
                "<input type=\"hidden\" name=\"NAP\" id=\"NAP\" value=\"%s\">\n"
                "</form></body></html>\n" % (self.login_url("/ppsecure/finish.srf"), s.t2, NAP_VALUE))
        else:
            response = self.page_form(req, scenario, None)
        response.set_cookie("MSPOK", token(8))
        return response

    def check_form(self, req, scenario):
        s = self.session
        if not s.login_done or not scenario.get("intermediate_form", True):
            raise Refusal("form post without a sign-in page that held the form")
        self.check_query(req, "", "form post")
        expected = "t=" + encode(s.t2) + "&NAP=" + encode(NAP_VALUE)
        body = req.body.decode("latin-1")
        if body != expected:
            raise Refusal(simcore.first_difference(expected, body, "form body"))

    def page_form(self, req, scenario, _):
        """The page with the sign-in link (the form's answer, or the sign-in answer itself)."""
        s = self.session
        s.t3 = token(16)
        link = ('<a href="%s">Continue</a>' % self.mail_url("/cgi-bin/wsignin?wa=wsignin1.0&t=" + s.t3)
                if req.broken != "no_wsignin" else "")
        return Response.page("<html><body>Signing in... %s</body></html>\n" % link)

    def check_wsignin(self, req, scenario):
        s = self.session
        handed_out(s.t3, "sign-in link")
        self.check_query(req, "wa=wsignin1.0&t=" + s.t3, "sign-in link")

    def page_wsignin(self, req, scenario, _):
        mailbox = scenario.get("mailbox", "cgi")
        if mailbox not in MAILBOXES:
            raise ScenarioError("unknown mailbox %r" % mailbox)
        if mailbox != "cgi":
            return self.live_signin(req, scenario, mailbox)
        s = self.session
        s.t4 = token(16)
        sbox = self.mail_url("/cgi-bin/sbox?t=" + s.t4).replace("/", "\\/")
        if req.broken == "no_sbox_url":
            sbox = "\\/cgi-bin\\/sbox?t=" + s.t4
        cookie = ('<img src="%s" width=1 height=1>' % self.mail_url("/ppsecure/loginmsn.srf?lc=1033&amp;x=1")
                  if req.broken != "no_cookie_url" else "")
        return Response.page("<html><head><title>Hotmail</title></head>\n"
                             "<body onload=\"top.location.replace(&#39;%s&#39;)\">\n%s\n</body></html>\n"
                             % (sbox, cookie))

    def check_cookie(self, req, scenario):
        handed_out(self.session.t4, "cookie link")
        self.check_query(req, "lc=1033&x=1", "cookie link")

    def page_cookie(self, req, scenario, _):
        self.session.cookie_done = True
        response = Response.page("<html></html>")
        response.set_cookie("MSPAuth", token(20))
        return response

    def check_sbox(self, req, scenario):
        s = self.session
        handed_out(s.t4, "sbox link")
        self.check_query(req, "t=" + s.t4, "sbox")
        if not s.cookie_done:
            raise Refusal("sbox requested before the cookie link")
        self.need_cookie(req, "MSPAuth", "set by the cookie link")

    def page_sbox(self, req, scenario, _):
        s = self.session
        if scenario.get("skip_home"):
            links = "" if req.broken == "no_home" else self.inbox_links(req)
        elif req.broken == "no_home":
            links = ""
        else:
            s.home_offered = True
            links = '<a href="/cgi-bin/hmhome?fti=yes&curmbox=%s&a=%s">Home</a>' % (INBOX, s.key)
        response = Response.page("<html><body>%s</body></html>\n" % links)
        response.set_cookie("HMSC", token(12))
        return response

    def inbox_links(self, req):
        """Decoys first (another folder, the inbox without a session key), then the inbox."""
        self.session.inbox_page = req.url
        links = ['"/cgi-bin/HoTMaiL?curmbox=%s&a=%s"' % (JUNK, self.session.key),
                 '"/cgi-bin/HoTMaiL?curmbox=%s"' % INBOX]
        if req.broken != "no_inbox":
            links.append('"/cgi-bin/HoTMaiL?curmbox=%s&a=%s"' % (INBOX, self.session.key))
        return "\n".join("<a href=%s>folder</a>" % link for link in links)

    def check_home(self, req, scenario):
        s = self.session
        if not s.home_offered:
            raise Refusal("home page requested although no page offered it")
        self.check_query(req, "fti=yes&curmbox=%s&a=%s" % (INBOX, s.key), "home page")
        self.need_cookie(req, "HMSC", "set by the sbox page")

    def page_home(self, req, scenario, _):
        return Response.page("<html><body>%s</body></html>\n" % self.inbox_links(req))

    def check_key(self, req, key):
        if key != self.session.key:
            raise Refusal("session key a=%r is not the one handed out" % key)
        self.need_cookie(req, "HMSC", "set by the sbox page")

    def check_dir(self, req, scenario):
        match = DIR_QUERY.fullmatch(req.query)
        if not match:
            raise Refusal("directory query %r is not page=<n>&wo=&msg=&curmbox=%s&a=<key>&sort=date"
                          % (req.query, INBOX))
        self.check_key(req, match.group(2))
        return int(match.group(1))

    def page_dir(self, req, scenario, n):
        inbox = self.state.mailbox()["inbox"]
        size = max(1, int(scenario.get("page_size", 2)))
        pages = max(1, math.ceil(len(inbox) / size))
        repeat = bool(scenario.get("repeat_paging"))
        shown = min(n, pages) if repeat else n
        ids = inbox[(shown - 1) * size:shown * size]
        folders = [("Inbox", INBOX), ("Junk", JUNK)] + ([("Trash", TRASH)] if req.broken != "no_trash" else [])
        rows = ["<html><head><title>Hotmail - Inbox</title></head><body>", "<ul>"]
        rows += ["<li><a href=\"javascript:HMFO('%s')\">%s</a></li>" % (f, name) for name, f in folders]
        rows.append("</ul><table>")
        rows += ['<tr><td><a href="/cgi-bin/getmsg?msg=%s&start=1&len=9&curmbox=%s&a=%s">Message %s</a></td></tr>'
                 % (i, INBOX, self.session.key, html_escape(i)) for i in ids]
        rows.append("</table>")
        if n < pages or repeat:
            rows.append('<a href="/cgi-bin/HoTMaiL?page=%d&wo=&msg=&curmbox=%s&a=%s&sort=date">Next</a>'
                        % (n + 1, INBOX, self.session.key))
        rows.append("</body></html>\n")
        return Response.page("\n".join(rows))

    def message(self, req, step, middle):
        """The message id of a getmsg request, checked against the query and the inbox."""
        match = GETMSG_QUERY.fullmatch(req.query)
        if not match or match.group(2) != middle:
            raise Refusal("%s query %r is not msg=<id>&%s&a=<key>" % (step, req.query, middle))
        msg_id, key = match.group(1), match.group(3)
        self.check_key(req, key)
        if msg_id not in self.state.mailbox()["inbox"]:
            raise Refusal("message %r is not in the inbox" % msg_id)
        return msg_id

    def check_getmsg(self, req, scenario):
        return self.message(req, "fetch", "imgsafe=n&raw=0")

    def page_getmsg(self, req, scenario, msg_id):
        return self.source_page(msg_id, scenario)

    def check_mark(self, req, scenario):
        return self.message(req, "mark", "imgsafe=n")

    def page_mark(self, req, scenario, msg_id):
        box = self.state.mailbox()
        if msg_id not in box["read"]:
            box["read"].append(msg_id)
            self.state.save_mailbox(box)
        return self.source_page(msg_id, scenario)

    def check_move(self, req, scenario):
        folder = re.search(r"&tobox=([^&]*)", req.query)
        if folder and folder.group(1) != TRASH:
            raise Refusal("move to folder %r, expected the trash %s" % (folder.group(1), TRASH))
        return self.message(req, "move", "_HMaction=move&tobox=" + TRASH)

    def page_move(self, req, scenario, msg_id):
        box = self.state.mailbox()
        box["inbox"].remove(msg_id)
        box["trash"].append(msg_id)
        self.state.save_mailbox(box)
        return self.page_dir(req, scenario, 1)

    def source_page(self, msg_id, scenario):
        """The message's source between <PRE> lines, entities for & < > ", every line of
        the page ended as the scenario says."""
        end = b"\n" if scenario.get("line_ends") == "lf" else b"\r\n"
        text = self.state.message(msg_id).replace(b"\r\n", b"\n")
        lines = [simcore.source_entities(line) for line in text.split(b"\n")] if text else []
        if text.endswith(b"\n"):
            lines.pop()
        pre = b"<PRE>  " if scenario.get("pre_trailing_blanks") else b"<PRE>"
        page = [b"<html><head><title>Message source</title></head>", b"<body>", pre]
        if scenario.get("pre_close_inline") and lines:
            page += lines[:-1] + [lines[-1] + b"</PRE></body></html>"]
        else:
            page += lines + [b"</PRE>", b"</body></html>"]
        return Response(200, "OK", end.join(page) + end, [("Content-Type", "text/html; charset=iso-8859-1")])


def main():
    args = simcore.arguments(__doc__)
    site = Hotmail(simcore.State(args.state))
    simcore.serve(site, [site.roles["start"], site.roles["login"], site.roles["mail"]], args.cert, args.key)


if __name__ == "__main__":
    main()
