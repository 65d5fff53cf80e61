#!/usr/bin/python3
"""The Yahoo Mail stand-in: the sign-in form, the mail application, its SOAP web
service and the attachment download, served strictly.

Roles: "start" (the mail start page, HTTP), "login" (the sign-in server, HTTPS), "mail"
(the application, the web service and the download path, HTTP) and "download" (another
host:port that attachment requests may be redirected to, HTTP). A request that differs
from what the agent must send (header lines, Referer, cookies, form and SOAP bodies,
exact URLs, order of the steps) is refused with an answer that names the difference.
See README.md for the scenario keys.
"""

import email
import email.generator
import email.policy
import io
import os
import re
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import simcore  # noqa: E402
from simcore import Refusal, Response, ScenarioError, encode, html_escape, token  # noqa: E402

USER_AGENT = "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.0; Trident/4.0)"
FORM_TYPE = "application/x-www-form-urlencoded"
SOAP_TYPE = "text/xml"
MAIL_HOST, LOGIN_HOST = "127.0.0.1", "localhost"
DEFAULT_ADDRESS, DEFAULT_PASSWORD = "tester@yahoo.com", "secret"
REFUSED_TITLE = "Stand-in refused the request"

SOAP_PATH = "/ws/mail/v1/soap"
ENVELOPE = ('<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" '
            'xmlns:xsi="http://www.w3.org/1999/XMLSchema-instance" xmlns:xsd="http://www.w3.org/1999/XMLSchema" '
            'SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">')
# Each method's body element; %mid% stands for the message id.
METHODS = {
    "ListMessages": ("list", '<SOAP-ENV:Body><m:ListMessages xmlns:m="urn:yahoo:ymws" startInfo="0" numInfo="9999" '
                             'numBody="0" startMid="0" numMid="9999"><sortKey>date</sortKey><sortOrder>down</sortOrder>'
                             '<filterBy></filterBy><fid>Inbox</fid><transform-markup>remove-javascript'
                             '</transform-markup></m:ListMessages></SOAP-ENV:Body>'),
    "GetMessageRawHeader": ("rawheader", '<SOAP-ENV:Body><m:GetMessageRawHeader xmlns:m="urn:yahoo:ymws"><mid>%mid%'
                                         '</mid><fid>Inbox</fid></m:GetMessageRawHeader></SOAP-ENV:Body>'),
    "GetMessage": ("getmessage", '<SOAP-ENV:Body><m:GetMessage xmlns:m="urn:yahoo:ymws"><mid>%mid%</mid><truncateAt>0'
                                 '</truncateAt><fid>Inbox</fid></m:GetMessage></SOAP-ENV:Body>'),
    "MoveMessages": ("move", '<SOAP-ENV:Body><m:MoveMessages xmlns:m="urn:yahoo:ymws"><sourceFid>Inbox</sourceFid>'
                             '<destinationFid>Trash</destinationFid><mid>%mid%</mid></m:MoveMessages></SOAP-ENV:Body>'),
    "FlagMessages": ("flag", '<SOAP-ENV:Body><m:FlagMessages xmlns:m="urn:yahoo:ymws"><fid>Inbox</fid><mid>%mid%</mid>'
                             '<setFlags read="1"></setFlags></m:FlagMessages></SOAP-ENV:Body>'),
}
SOAP_QUERY = re.compile(r"m=([A-Za-z]+)&wssid=([^&]*)&appid=YahooMailRC")
DOWNLOAD_QUERY = re.compile(r"fid=Inbox&mid=([^&]*)&pid=([^&]*)&tnef=&YY=1154723798517&newid=1&clean=0&inline=1")
TARGET_QUERY = re.compile(r"mid=([^&]*)&pid=([^&]*)(&.*)?")
INTERSTITIAL = "/ytoolbar/configserver/ext/mail_interstitial/mail_act.php"

STEPS = {
    ("start", "/"): "start",
    ("login", "/config/login"): "login",      # the sign-in post, or the logout by its query
    ("login", "/update"): "update",
    ("mail", "/dc/launch"): "launch",
    ("mail", "/ytoolbar/intl/index.php"): "toolbar",
    ("mail", INTERSTITIAL): "interstitial",
    ("mail", "/ya/download/"): "download",
    ("mail", "/ya/download/file"): "target",
    ("download", "/dl"): "target",
}
POST_STEPS = {"login"} | {step for step, _ in METHODS.values()}
DOWNLOAD_FORMS = ("direct", "redirect", "relative", "lost", "early_close")
EARLY_CLOSE_MISSING = 1000   # bytes an early-closed download announces and never sends

# Failure kinds the scenario may ask for, and the steps they fit (None: any step).
KINDS = {
    "http500": None, "close": None,
    "update": ("login",), "h2": ("login",), "span_heading": ("login",), "div_heading": ("login",),
    "plain": ("login",), "empty_launch": ("login",),
    "no_login_form": ("start",), "no_wssid": ("launch", "interstitial"),
    "fault": ("list", "rawheader", "getmessage", "move", "flag"),
    "fault_nodetail": ("list", "rawheader", "getmessage", "move", "flag"),
    "no_list": ("list",), "mid_no_end": ("list",), "no_rawheaders": ("rawheader",),
    "no_text": ("getmessage",), "no_parts": ("getmessage",),
}
LOGIN_PAGES = {
    "bad_password": '<div class="yregertxt">Invalid ID or password.<br>Please try again.</div>',
    "h2": "<h2>Error: Your account is locked</h2>",
    "span_heading": '<table><tr><td><span class="primaryHeading">Sign-in&nbsp;unavailable<br />Try later</span></td>'
                    "</tr></table>",
    "div_heading": '<div class="primaryHeading x">Too many attempts<br/>Wait an hour</div>',
    "plain": "<p>Something went wrong on our side.</p>",
    # The link around "/launch?" has no double quotes, so there is no link to take.
    "empty_launch": "<p>Continue with /launch?.gx=1 when your browser is ready.</p>",
}
FAULT_STRING = "Service temporarily unavailable."
FAULT_DETAIL = "Try again in a few minutes."


def xml_text(data):
    """Entities for & < > in bytes or text (as bytes)."""
    data = data.encode("utf-8") if isinstance(data, str) else data
    return data.replace(b"&", b"&amp;").replace(b"<", b"&lt;").replace(b">", b"&gt;")


def soap(inner):
    return Response(200, "OK", b'<?xml version="1.0" encoding="UTF-8"?>\n' + ENVELOPE.encode("ascii") + b"<SOAP-ENV:Body>"
                    + inner + b"</SOAP-ENV:Body></SOAP-ENV:Envelope>", [("Content-Type", "text/xml; charset=utf-8")])


def soap_fault(string_text, detail):
    inner = "<SOAP-ENV:Fault><faultcode>Client.x</faultcode><faultstring>%s</faultstring>" % html_escape(string_text)
    if detail is not None:
        inner += "<detail>%s</detail>" % html_escape(detail)
    return soap((inner + "</SOAP-ENV:Fault>").encode("utf-8"))


# --- the message as the web service describes it

def unfolded(value):
    return re.sub(r"\r?\n[ \t]", " ", str(value)).strip()


def after_first_semicolon(value):
    return unfolded(value).partition(";")[2].strip() if value is not None else ""


def parts(raw):
    """The part tree of a stored message, flat in document order: (part id, part). An
    embedded message is a leaf (it is downloaded whole)."""
    found = []

    def walk(part, pid):
        found.append((pid, part))
        if part.is_multipart() and part.get_content_maintype() != "message":
            for n, child in enumerate(part.get_payload(), 1):
                walk(child, str(n) if pid == "TEXT" else "%s.%d" % (pid, n))

    walk(email.message_from_bytes(raw, policy=email.policy.compat32), "TEXT")
    return found


def part_element(pid, part):
    attrs = [("partId", pid), ("type", part.get_content_maintype()), ("subtype", part.get_content_subtype())]
    params = after_first_semicolon(part.get("Content-Type"))
    if params:
        attrs.append(("typeParams", params))
    disposition = part.get("Content-Disposition")
    if disposition is not None:
        attrs.append(("disposition", unfolded(disposition).partition(";")[0].strip()))
        if after_first_semicolon(disposition):
            attrs.append(("dispParams", after_first_semicolon(disposition)))
    if part.get("Content-ID") is not None:
        attrs.append(("contentId", unfolded(part.get("Content-ID"))))
    if part.get("Content-Transfer-Encoding") is not None:
        attrs.append(("encoding", unfolded(part.get("Content-Transfer-Encoding")).lower()))
    if not part.is_multipart():
        # An attribute the agent has no use for, as the service sends more than it reads.
        attrs.append(("size", str(len(part.get_payload(decode=True) or b""))))
    head = "<part " + " ".join('%s="%s"' % (name, html_escape(value)) for name, value in attrs)
    if part.get_content_maintype() != "text":
        return (head + "/>").encode("utf-8")
    payload = part.get_payload(decode=True) or b""
    text = payload.decode(part.get_content_charset() or "us-ascii", "replace").replace("\r\n", "\n")
    return (head + "><text>").encode("utf-8") + xml_text(text) + b"</text></part>"


def downloadable(part):
    return part.get_content_maintype() not in ("text", "multipart")


def download_bytes(part):
    """A leaf's bytes as the download path hands them out: decoded, or for an embedded
    message the message itself."""
    if part.get_content_maintype() == "message":
        out = io.BytesIO()
        generator = email.generator.BytesGenerator(out, mangle_from_=False, maxheaderlen=0)
        for inner in part.get_payload():
            generator.flatten(inner)
        return out.getvalue()
    return part.get_payload(decode=True) or b""


def header_block(raw):
    """The header block as stored, each line ended by LF, without the empty line."""
    text = raw.replace(b"\r\n", b"\n")
    end = text.find(b"\n\n")
    return text if end < 0 else text[:end + 1]


class Session:
    """One sign-in, from the start page on: values handed out, what was asked for last,
    and the client's cookies as the stand-in set them."""

    def __init__(self):
        self.challenge = token(12, "/+=") + token(4)
        self.launch = None        # the launch link's token, handed out by the sign-in
        self.launch_url = None    # the launch URL as requested
        self.wssid = None         # as the client must send it (decoded)
        self.login_url = None     # the sign-in post's URL: the launch's Referer
        self.start_url = None
        self.app_url = None       # the page that handed out wssid: the listing's Referer
        self.toolbar_sent = False
        self.download_url = None  # the last download asked for: its redirect target's Referer
        self.jar = simcore.CookieJar()


class Yahoo(simcore.Site):
    def __init__(self, state):
        super().__init__(state)
        self.roles = {name: simcore.Role(name, scheme) for name, scheme in
                      (("start", "http"), ("login", "https"), ("mail", "http"), ("download", "http"))}
        self.session = Session()

    # --- framework hooks

    def step_of(self, req):
        if req.role.name == "mail" and req.path == SOAP_PATH:
            match = SOAP_QUERY.fullmatch(req.query)
            return METHODS[match.group(1)][0] if match and match.group(1) in METHODS else None
        if (req.role.name, req.path) == ("login", "/config/login") and req.query.startswith("logout="):
            return "logout"
        return STEPS.get((req.role.name, req.path))

    def message_of(self, req):
        if req.path == SOAP_PATH:
            match = re.search(rb"<mid>([^<]*)</mid>", req.body)
            return match.group(1).decode("latin-1") if match else None
        match = DOWNLOAD_QUERY.fullmatch(req.query) or TARGET_QUERY.fullmatch(req.query)
        return urllib.parse.unquote(match.group(1), "latin-1") if match else None

    def answered(self, req, response):
        for name, value in response.cookies_set():
            self.session.jar.remember(req.host, name, value)

    def respond(self, req, scenario):
        step = self.step_of(req)
        if step is None:
            raise Refusal("no page %s?%s on the %s server" % (req.path, req.query, req.role.name))
        s = self.session
        if step == "start":
            self.session = s = Session()
            s.start_url = req.url
        elif s.start_url is None:
            raise Refusal("%s request before the start page" % step)
        self.check_headers(req, "POST" if step in POST_STEPS else "GET", self.referer(req, step))
        return self.run_step(req, scenario, step)

    def refuse(self, req, reason):
        if req.role.name == "mail" and req.path == SOAP_PATH:
            return soap_fault(REFUSED_TITLE, reason)
        if req.role.name == "login" and req.method == "POST":
            return Response.page('<html><body><div class="yregertxt">%s: %s</div></body></html>'
                                 % (REFUSED_TITLE, html_escape(reason)))
        phrase = "%s: %s" % (REFUSED_TITLE, reason.encode("ascii", "replace").decode("ascii"))
        return Response.page("<html><body>%s</body></html>" % html_escape(phrase), 400, phrase)

    # --- checks shared by the steps

    def referer(self, req, step):
        """The Referer the step must carry (None: none)."""
        s = self.session
        return {"start": None, "login": s.start_url, "update": s.start_url, "launch": s.login_url,
                "toolbar": s.login_url, "interstitial": s.launch_url, "list": s.app_url,
                "target": s.download_url}.get(step, req.url)

    def check_headers(self, req, method, referer):
        if req.method != method:
            raise Refusal("method %s, expected %s" % (req.method, method))
        if req.version != "HTTP/1.1":
            raise Refusal("version %s, expected HTTP/1.1" % req.version)
        host = LOGIN_HOST if req.role.name == "login" else MAIL_HOST
        cookies = self.session.jar.line(host)
        content_type = FORM_TYPE if req.role.name == "login" else SOAP_TYPE
        simcore.check_headers(req, [("User-Agent", USER_AGENT), ("Host", host), ("Referer", referer),
                                    ("Accept", "*/*"), ("Connection", "Keep-Alive"), ("Cookie", cookies or None)]
                              + ([("content-type", content_type), ("content-length", str(len(req.body)))]
                                 if method == "POST" else []))

    def fault(self, req, scenario, step, msg_id):
        """The scenario's failure for this step: an answer to give instead of the page,
        or None (a kind the page honours is left in req.broken)."""
        rule = self.state.rule(scenario, "fail", step, msg_id)
        if rule is None:
            return None
        kind = rule.get("kind")
        if kind not in KINDS:
            raise ScenarioError("unknown failure kind %r" % kind)
        if KINDS[kind] is not None and step not in KINDS[kind]:
            raise ScenarioError("kind %s does not apply to step %s" % (kind, step))
        if kind == "http500":
            return Response.page("<html>Internal error</html>", 500, "Internal Server Error")
        if kind == "close":
            return Response.close()
        if kind in ("fault", "fault_nodetail"):
            return soap_fault(FAULT_STRING, FAULT_DETAIL if kind == "fault" else None)
        req.broken = kind
        return None

    def url(self, role, path):
        host = LOGIN_HOST if role == "login" else MAIL_HOST
        return "%s://%s:%d%s" % (self.roles[role].scheme, host, self.roles[role].port, path)

    def message(self, msg_id):
        if msg_id is None or msg_id not in self.state.mailbox()["inbox"]:
            raise Refusal("message %r is not in the inbox" % msg_id)
        return self.state.message(msg_id)

    def check_start(self, req, scenario):
        if req.query:
            raise Refusal("start page query %r, expected none" % req.query)

    def page_start(self, req, scenario, _):
        s = self.session
        forms = []
        if scenario.get("search_form", True):
            forms.append('<form name="sf" action="http://127.0.0.1/search" method="get">'
                         '<input type="text" name="p" value="" size="30">'
                         '<input type="hidden" name="fr" value="ym">'
                         '<input type="submit" value="Search"></form>')
        if req.broken != "no_login_form":
            fields = [(".tries", "1"), (".src", "ym"), (".intl", "us"), (".challenge", s.challenge),
                      ("login", ""), ("passwd", ""), (".persistent", "y")]
            kinds = {"passwd": "password", "login": "text", ".persistent": "checkbox"}
            forms.append('<form method="post" action="%s" autocomplete="off" name="login_form">\n%s\n'
                         '<input type="submit" value="Sign In"></form>'
                         % (self.url("login", "/config/login?"),
                            "\n".join('<input type="%s" name="%s" value="%s">'
                                      % (kinds.get(n, "hidden"), n, html_escape(v)) for n, v in fields)))
        response = Response.page("<html><head><title>Yahoo! Mail: Sign in</title></head><body>\n%s\n</body></html>\n"
                                 % "\n".join(forms))
        response.set_cookie("B", token(10) + "&b=3")
        return response

    def check_login(self, req, scenario):
        if req.query:
            raise Refusal("sign-in query %r, expected none" % req.query)
        body = req.body.decode("latin-1")
        address = scenario.get("address", DEFAULT_ADDRESS)
        password = scenario.get("password", DEFAULT_PASSWORD)
        sent = re.search(r"&login=([^&]*)&passwd=([^&]*)&", body)
        # Judge the encoding against what was sent, the credentials against the scenario.
        address_sent, password_sent = ((urllib.parse.unquote(v, "latin-1") for v in sent.groups()) if sent
                                       else (address, password))
        expected = (".tries=1&.src=ym&.intl=us&.challenge=" + encode(self.session.challenge) + "&login="
                    + encode(address_sent) + "&passwd=" + encode(password_sent) + "&.persistent=y")
        if body != expected:
            raise Refusal(simcore.first_difference(expected, body, "sign-in body"))
        self.session.login_url = req.url
        if (address_sent, password_sent) != (address, password):
            return self.login_page(LOGIN_PAGES["bad_password"])
        return None

    @staticmethod
    def login_page(inner):
        return Response.page("<html><head><title>Sign in</title></head><body>\n%s\n</body></html>\n" % inner)

    def page_login(self, req, scenario, _):
        kind = req.broken
        if kind == "update":
            return Response.redirect(self.url("login", "/update?.src=ym"))
        if kind in LOGIN_PAGES:
            return self.login_page(LOGIN_PAGES[kind])
        s = self.session
        s.launch = token(10)
        link = self.url("mail", "/dc/launch?.gx=1&.rand=" + s.launch)
        response = self.login_page('<p>Signing in...</p><a href="%s">Go to Mail</a>' % link)
        response.set_cookie("Y", "v=1&n=" + token(12))
        return response

    def check_update(self, req, scenario):
        if req.query != ".src=ym":
            raise Refusal("update page query %r" % req.query)

    def page_update(self, req, scenario, _):
        return Response.page("<html><body><h1>Update your account information</h1></body></html>\n")

    def check_launch(self, req, scenario):
        s = self.session
        if s.launch is None:
            raise Refusal("launch link followed before a sign-in handed one out")
        if req.query != ".gx=1&.rand=" + s.launch:
            raise Refusal(simcore.first_difference(".gx=1&.rand=" + s.launch, req.query, "launch query"))
        s.launch_url = req.url

    def page_launch(self, req, scenario, _):
        s = self.session
        if scenario.get("toolbar"):
            s.toolbar_sent = True
            response = Response.redirect("/ytoolbar/intl/index.php?x=1")
        else:
            response = self.application(req)
        response.set_cookie("Y", "v=1&n=" + token(12) + "&l=" + s.launch)
        response.set_cookie("T", "z=" + token(16))
        return response

    def check_toolbar(self, req, scenario):
        if not self.session.toolbar_sent or req.query != "x=1":
            raise Refusal("toolbar page %r asked for although no launch redirected there" % req.target)
        self.need_cookies(req)

    def page_toolbar(self, req, scenario, _):
        return Response.page("<html><body><h1>Get the toolbar</h1><a href='%s?mpref=2'>No thanks</a></body></html>\n"
                             % INTERSTITIAL)

    def check_interstitial(self, req, scenario):
        if not self.session.toolbar_sent:
            raise Refusal("toolbar interstitial asked for although no launch offered the toolbar")
        if req.query != "mpref=2":
            raise Refusal("interstitial query %r, expected mpref=2" % req.query)
        self.need_cookies(req)

    def page_interstitial(self, req, scenario, _):
        return self.application(req)

    def need_cookies(self, req):
        names = [n for n, _ in req.cookies()]
        if "Y" not in names or "T" not in names:
            raise Refusal("%s needs the Y and T cookies set by the launch" % req.path)

    def application(self, req):
        """The mail application page with the session value in the scenario's form; a
        decoy first that only a keyword match ignoring what precedes it would take."""
        s = self.session
        s.wssid = token(8) + "/" + token(6) + "." + token(3)
        s.app_url = req.url
        written = s.wssid.replace("/", "\\/")
        scenario = self.state.scenario()
        form = scenario.get("wssid_form", "single")
        if form not in ("single", "double"):
            raise ScenarioError("wssid_form %r is neither single nor double" % form)
        if req.broken == "no_wssid":
            config = "{ 'appid' : \"YahooMailRC\" }"
        elif form == "single":
            config = "{ x'wssid' : \"decoy\", 'wssid' : \"%s\", 'appid' : \"YahooMailRC\" }" % written
        else:
            config = '{x"wssid":"decoy","appid":"YahooMailRC","wssid":"%s","host":"mail"}' % written
        return Response.page("<html><head><title>Yahoo! Mail</title>\n<script>\nvar kConfig = %s;\n</script></head>"
                             "<body><div id='app'>Loading...</div></body></html>\n" % config)

    # --- the web service

    def soap_request(self, req, step):
        """The message id named in the body (None for the listing), after the URL and the
        body were checked against what this method must send."""
        s = self.session
        match = SOAP_QUERY.fullmatch(req.query)
        if s.wssid is None:
            raise Refusal("web service called before a page handed out wssid")
        if match.group(2) != s.wssid:
            raise Refusal("wssid %r is not the one handed out (%r)" % (match.group(2), s.wssid))
        self.need_cookies(req)
        body = req.body.decode("latin-1")
        template = METHODS[match.group(1)][1]
        msg_id = self.message_of(req) if "%mid%" in template else None
        expected = ENVELOPE + template.replace("%mid%", msg_id or "") + "</SOAP-ENV:Envelope>\r\n"
        if body != expected:
            raise Refusal(simcore.first_difference(expected, body, match.group(1) + " body"))
        if msg_id is not None:
            self.message(msg_id)
        return msg_id

    def check_list(self, req, scenario):
        return self.soap_request(req, "list")

    def page_list(self, req, scenario, _):
        newest_first = list(reversed(self.state.mailbox()["inbox"]))
        infos = ['<messageInfo mid="%s" flags="0"><mid>%s</mid><subject>Message</subject></messageInfo>'
                 % (i, i) for i in newest_first]
        if req.broken == "mid_no_end" and infos:
            infos[-1] = '<messageInfo flags="0"><mid>%s' % newest_first[-1]
        element = "ListMessagesResponse" if req.broken != "no_list" else "ListFoldersResponse"
        return soap(('<%s xmlns="urn:yahoo:ymws"><folder><folderInfo fid="Inbox" name="Inbox"/><total>%d</total>'
                     "</folder>%s</%s>" % (element, len(infos), "".join(infos), element)).encode("utf-8"))

    def check_rawheader(self, req, scenario):
        return self.soap_request(req, "rawheader")

    def page_rawheader(self, req, scenario, msg_id):
        inner = b"<GetMessageRawHeaderResponse xmlns=\"urn:yahoo:ymws\">"
        if req.broken != "no_rawheaders":
            inner += b"<rawheaders>" + xml_text(header_block(self.state.message(msg_id))) + b"</rawheaders>"
        return soap(inner + b"</GetMessageRawHeaderResponse>")

    def check_getmessage(self, req, scenario):
        return self.soap_request(req, "getmessage")

    def page_getmessage(self, req, scenario, msg_id):
        elements = [b'<part partId="HEADER" type="x-unknown" subtype="x-unknown"/>']
        elements += [part_element(pid, part) for pid, part in parts(self.state.message(msg_id))]
        if req.broken == "no_text":
            elements = [re.sub(rb"<text>.*</text>", b"", e, flags=re.S) for e in elements]
        if req.broken == "no_parts":
            elements = []
        return soap(b'<GetMessageResponse xmlns="urn:yahoo:ymws"><message mid="' + msg_id.encode("latin-1") + b'">'
                    + b"".join(elements) + b"</message></GetMessageResponse>")

    def check_move(self, req, scenario):
        return self.soap_request(req, "move")

    def page_move(self, req, scenario, msg_id):
        box = self.state.mailbox()
        box["inbox"].remove(msg_id)
        box["trash"].append(msg_id)
        self.state.save_mailbox(box)
        return soap(b"<MoveMessagesResponse/>")

    def check_flag(self, req, scenario):
        return self.soap_request(req, "flag")

    def page_flag(self, req, scenario, msg_id):
        box = self.state.mailbox()
        if msg_id not in box["read"]:
            box["read"].append(msg_id)
            self.state.save_mailbox(box)
        return soap(b"<FlagMessagesResponse/>")

    # --- attachments

    def leaf(self, msg_id, pid):
        for found, part in parts(self.message(msg_id)):
            if found == pid:
                if not downloadable(part):
                    raise Refusal("part %s of %r is a %s part, which is not downloaded" % (pid, msg_id,
                                                                                          part.get_content_type()))
                return part
        raise Refusal("message %r has no part %r" % (msg_id, pid))

    def check_download(self, req, scenario):
        match = DOWNLOAD_QUERY.fullmatch(req.query)
        if not match:
            raise Refusal("download query %r is not fid=Inbox&mid=<id>&pid=<part>&tnef=&YY=1154723798517&newid=1"
                          "&clean=0&inline=1" % req.query)
        msg_id = urllib.parse.unquote(match.group(1), "latin-1")
        if match.group(1) != encode(msg_id):
            raise Refusal("mid=%s is not the id encoded as %s" % (match.group(1), encode(msg_id)))
        self.need_cookies(req)
        self.session.download_url = req.url
        return self.leaf(msg_id, match.group(2)), match.group(1), match.group(2)

    def page_download(self, req, scenario, checked):
        part, mid, pid = checked
        form = scenario.get("download", "direct")
        if form not in DOWNLOAD_FORMS:
            raise ScenarioError("download form %r is not one of %s" % (form, ", ".join(DOWNLOAD_FORMS)))
        query = "mid=%s&pid=%s&sig=%s" % (mid, pid, token(6))
        if form == "redirect":
            return Response.redirect(self.url("download", "/dl?" + query))
        if form == "relative":
            return Response.redirect("/ya/download/file?" + query)
        if form == "lost":
            return Response.redirect("/ya/download/file?mid=expired&pid=%s" % pid)
        return self.attachment(part, form == "early_close")

    @staticmethod
    def attachment(part, early_close):
        data = download_bytes(part)
        response = Response(200, "OK", data + (b"\0" * EARLY_CLOSE_MISSING if early_close else b""),
                            [("Content-Type", "application/octet-stream"),
                             ("Content-Disposition", "attachment")])
        if early_close:
            response.mode = {"mode": "early_close", "at": len(data)}
        return response

    def check_target(self, req, scenario):
        if self.session.download_url is None:
            raise Refusal("download target asked for before a download redirected there")
        match = TARGET_QUERY.fullmatch(req.query)
        if match and match.group(1) == "expired":
            return None
        if not match:
            raise Refusal("download target query %r" % req.query)
        return self.leaf(urllib.parse.unquote(match.group(1), "latin-1"), match.group(2))

    def page_target(self, req, scenario, part):
        if part is None:
            return Response.page("<html><body>This download link has expired.</body></html>")
        return self.attachment(part, False)

    # --- logout

    def check_logout(self, req, scenario):
        expected = "logout=1&.done=%s&.src=ym" % self.session.start_url
        if req.query != expected:
            raise Refusal(simcore.first_difference(expected, req.query, "logout query"))

    def page_logout(self, req, scenario, _):
        return Response.page("<html><body>You are signed out.</body></html>\n")


def main():
    args = simcore.arguments(__doc__)
    site = Yahoo(simcore.State(args.state))
    simcore.serve(site, [site.roles[r] for r in ("start", "login", "mail", "download")], args.cert, args.key)


if __name__ == "__main__":
    main()
