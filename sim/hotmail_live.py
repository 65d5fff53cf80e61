"""The Windows Live mailbox of the Hotmail stand-in.

After the sign-in link, an account on the Live mailbox gets a page without the CGI
mailbox's markers that frames the mailbox. The classic (light) variant goes through a
Today page to the inbox page with the session values; the full variant through the
mail page to the application page with them. Both then use the form-post service
(/mail/mail.fpp) to list the inbox newest first, mark messages read and move them to
the trash, and show each message's source on a page of its own.

The service's four request sets (bodies, list markers and the build versions they
belong to) are written down here on their own, apart from the agent's copy, so that a
template wrong on one side cannot pass.
"""

import math
import re
import secrets

import simcore
from simcore import Refusal, Response, ScenarioError, encode, token

SERVICE = "Microsoft.Msn.Hotmail.Ui.Fpp.MailBox"
SERVICE_PATH = "/mail/mail.fpp"
SCRIPT_TYPE = "application/x-javascript; charset=utf-8"


class RequestSet:
    def __init__(self, inbox, mark, move, marker):
        self.inbox = inbox
        self.mark = mark
        self.move = move
        self.marker = marker


SETS = {
    "A": RequestSet(
        "cn=%hmSvc%&mn=GetInboxData&d=true,true,{%2200000000-0000-0000-0000-000000000001%22,%pageOp%,0,Date,false,"
        "%linkMsg%,%linkStamp%,%pageNo%,%pageNo%,false,null,-1,-1,Off},false,null&v=1&mt=%mtVal%",
        "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],{%2200000000-0000-0000-0000-000000000001%22,"
        "FirstPage,0,Date,false,%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,1,-1,Off}&v=1"
        "&mt=%mtVal%",
        "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,"
        "%2200000000-0000-0000-0000-000000000002%22,[%22%msgID%%22],[{%225C%5C%7C0%5C%7C8CC05E2384AC7D0%5C%7C%22,"
        "null}],{%2200000000-0000-0000-0000-000000000001%22,FirstPage,0,Date,false,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,0,-1,Off}&v=1&mt=%mtVal%",
        r'<div id=\"messageListContentContainer\">'),
    "B": RequestSet(
        "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,%pageOp%,0,Date,"
        "false,%linkMsg%,%linkStamp%,%pageNo%,%pageNo%,false,null,-1,-1,Off},false,null&v=1&mt=%mtVal%",
        "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%2240%5C%7C0%5C%7C8CC051E7D39E020%5C%7C%5C%7C"
        "%22}],{%2200000000-0000-0000-0000-000000000001%22,FirstPage,0,Date,false,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,21,-1,Off}&v=1&mt=%mtVal%",
        "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,"
        "%2200000000-0000-0000-0000-000000000002%22,[%22%msgID%%22],[{%2240%5C%7C0%5C%7C8CC051E7D39E020%5C%7C%5C%7C"
        "%22}],{%2200000000-0000-0000-0000-000000000001%22,FirstPage,0,Date,false,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,20,-1,Off}&v=1&mt=%mtVal%",
        r'<div id=\"messageListContentContainer\">'),
    "C": RequestSet(
        "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,,,%pageOp%,5,"
        "%pageNo%,%linkMsg%,%linkStamp%,Date,false,false,%22%22,null,-1,Off,123,null,null},false,null&v=1",
        "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%224%5C%7C0%5C%7C8CCF6EFA7498FF0%5C%7C%5C%7C0"
        "%5C%7C0%5C%7C0%5C%7C6%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,123,null,%22%22},"
        "false&v=1",
        "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,"
        "%2200000000-0000-0000-0000-000000000002%22,[%22%msgID%%22],[{%224%5C%7C0%5C%7C8CCF6EFA7498FF0%5C%7C%5C%7C0"
        "%5C%7C0%5C%7C0%5C%7C6%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,0,Off,122,null,%22%22},"
        "true,false,null,null,null,false&v=1",
        r'<div id=\"messageListScrollableContainer\"'),
    "D": RequestSet(
        "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,null,null,%pageOp%,"
        "5,%pageNo%,%linkMsg%,%linkStamp%,Date,false,false,null,null,-1,Off,-1,null,null,false},false,null&v=1",
        "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%222044%5C%7C0%5C%7C8CD37697826A400%5C%7C"
        "%5C%7C0%5C%7C1%5C%7C0%5C%7C0%5C%7C2%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,"
        "FirstPage,5,1,%2200000000-0000-0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,3,null,"
        "%22%22,true},false&v=1",
        "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,"
        "%2200000000-0000-0000-0000-000000000002%22,[%22%msgID%%22],[{%220%5C%7C0%5C%7C8CD3807E12BAB50%5C%7C%5C%7C0"
        "%5C%7C0%5C%7C0%5C%7C0%5C%7C14%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,"
        "%2200000000-0000-0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,3,null,%22%22,true},"
        "false,false,null,null,null,false,false&v=1",
        r'<div id=\"messageListScrollableContainer\"'),
}
# A build below a version uses the set named with it; from the last one on, set D.
SET_LIMITS = (("_15.1.3020.0910", "A"), ("_15.3.2512.0712", "B"), ("_15.4.0317.0921", "C"))
# Sets whose next page is named by the next-page link; the others page from the last row.
LINKED_PAGING = ("A", "B")

DEFAULT_BUILD = {"classic": "15.3.2512.0712", "full": "_15.4.0317.0921"}

PAGES = {"/mail/TodayLight.aspx": "today", "/mail/InboxLight.aspx": "inbox", "/mail/start.aspx": "frame",
         "/mail/mail.aspx": "mailaspx", "/mail/GetMessageSource.aspx": "source"}
APPMAIN = re.compile(r"/mail/ApplicationMain_[0-9.]+\.aspx")
SERVICE_QUERY = re.compile(r"cnmn=%s\.(\w+)&ptid=0&a=([^&]*)&au=(.*)" % re.escape(SERVICE))
SERVICE_STEPS = {"GetInboxData": "list", "MarkMessages": "mark", "MoveMessages": "move"}
MESSAGE_IN_BODY = re.compile(r"\[%22([A-Za-z0-9._-]*)%22\]")

# Kinds that leave one marker out of a Live page, and the steps whose page they fit.
MARKER_STEPS = {
    "no_frame_src": ("wsignin",), "no_inbox_link": ("today",), "no_build": ("inbox",),
    "no_sessionid": ("inbox",), "no_authuser": ("inbox",), "no_mailaspx": ("frame", "wsignin"),
    "no_appmain": ("mailaspx", "frame"), "no_version": ("appmain",), "no_sessionidhash": ("appmain",),
    "no_authuser8": ("appmain",), "no_list_marker": ("list",), "no_list_end": ("list",), "no_row_end": ("list",),
    "row_without_id": ("list",), "bad_next_link": ("list",), "no_pre": ("source",), "no_trailer": ("source",),
    "errortext_in_source": ("source",),
}


def page_lines(referer, connection="Keep-Alive"):
    """The header lines of a page request: Referer when there is one, Accept, Connection."""
    return ([("Referer", referer)] if referer else []) + [("Accept", "*/*"), ("Connection", connection)]


def set_for(version):
    """The request set of a build version, compared bytewise over at most 16 bytes."""
    data = version.encode("latin-1")[:16]
    return next((name for limit, name in SET_LIMITS if data < limit.encode("latin-1")), "D")


def fill(template, values):
    for name, value in values.items():
        template = template.replace("%" + name + "%", value)
    return template


def wrapped(value):
    return "%22" + encode(value) + "%22"


def stamp(position):
    """The date a message was received, by its place in the inbox (oldest first)."""
    return "3/%d/2009 10:%02d:07 AM" % (1 + position // 60, position % 60)


class LiveSession:
    """What one Live sign-in handed out: the links offered, the session values, the
    "mt" cookie, the paging the next inbox request must carry, and the messages listed
    and fetched."""

    def __init__(self, kind):
        self.kind = kind          # "classic" or "full"
        self.offered = {}         # step -> the path with query its link named
        self.referer = None       # classic: the first mailbox page, the Referer of every fetch
        self.mt = None
        self.values = None        # (build as served, session id, authuser)
        self.next = None          # (page number, paging values) of the next-page request
        self.listed = set()
        self.fetched = set()

    def version(self):
        build = self.values[0]
        return "_" + build if self.kind == "classic" else build


class LiveMailbox:
    """The Live steps of the Hotmail site (mixed into it): each has a check and a page,
    as the CGI steps do."""

    def live_step(self, req):
        if req.role.name != "mail":
            return None
        if req.path == SERVICE_PATH:
            # A query that names no known method is refused by the listing's query check.
            match = SERVICE_QUERY.fullmatch(req.query)
            return SERVICE_STEPS.get(match.group(1), "list") if match else "list"
        if APPMAIN.fullmatch(req.path):
            return "appmain"
        return PAGES.get(req.path)

    def live_message(self, req, step):
        if step == "source":
            return req.query[len("msgid="):] if req.query.startswith("msgid=") else None
        if step in ("mark", "move"):
            match = MESSAGE_IN_BODY.search(req.body.decode("latin-1"))
            return match.group(1) if match else None
        return None

    def live(self):
        live = self.session.live
        if live is None:
            raise Refusal("a Live mailbox page, but this sign-in led to no Live mailbox")
        return live

    def live_lines(self, req, step):
        """The method and the header lines between Host and Cookie a Live step needs."""
        live = self.live()
        if step in SERVICE_STEPS.values():
            if live.mt is None:
                raise Refusal("service request before the mt cookie was set")
            return "POST", [("Accept", "*/*"), ("Referer", req.url), ("Connection", "Keep-Alive"), ("mt", live.mt)]
        if step == "source":
            return "GET", page_lines(live.referer if live.kind == "classic" else None, "Close")
        return "GET", page_lines(self.session.last_url)

    def offer(self, step, path, query):
        self.live().offered[step] = path + "?" + query
        return path + "?" + query.replace("&", "&amp;")

    def check_offered(self, req, step):
        offered = self.live().offered.get(step)
        if offered is None:
            raise Refusal("%s page requested although no page offered it" % step)
        if req.target != offered:
            raise Refusal(simcore.first_difference(offered, req.target, step + " link"))

    def mailbox_page(self, text, content_type=None):
        """A page of the mailbox; the first one sets the "mt" cookie."""
        response = Response.page(text)
        if content_type:
            response.headers = [("Content-Type", content_type)]
        live = self.live()
        if live.mt is None:
            live.mt = token(22)
            response.set_cookie("mt", live.mt)
        return response

    # --- the page the sign-in link leads to

    def live_signin(self, req, scenario, kind):
        s = self.session
        s.live = LiveSession(kind)
        frame = scenario.get("frame", "normal")
        if frame == "none":
            if kind != "full":
                raise ScenarioError("frame none fits the full mailbox only")
            return self.page_live_frame(req, scenario, None)
        if frame not in ("normal", "spaced"):
            raise ScenarioError("unknown frame %r" % frame)
        n = str(100000 + secrets.randbelow(900000))  # digits only: the page must not hold "sbox"
        if kind == "full":
            src = self.offer("frame", "/mail/start.aspx", "n=%s&rru=inbox" % n)
        elif scenario.get("direct_inbox"):
            src = self.offer("inbox", "/mail/InboxLight.aspx", "n=%s&fid=1" % n)
        else:
            src = self.offer("today", "/mail/TodayLight.aspx", "n=%s&rru=home" % n)
        opening = '<iframe   id="UIFrame"' if frame == "spaced" else '<iframe id="UIFrame"'
        attribute = "" if req.broken == "no_frame_src" else ' src="%s"' % src
        return Response.page("<html><head><title>Windows Live Hotmail</title></head>\n<body>\n"
                             '%s%s frameborder="0" width="100%%">This page needs frames.</iframe>\n'
                             "</body></html>\n" % (opening, attribute))

    # --- classic variant

    def check_live_today(self, req, scenario):
        self.check_offered(req, "today")

    def page_live_today(self, req, scenario, _):
        live = self.live()
        live.referer = req.url
        link = self.offer("inbox", "/mail/InboxLight.aspx", "n=2&fid=1")
        if scenario.get("inbox_link") != "absolute":
            link = link[len("/mail/"):]
        item = "" if req.broken == "no_inbox_link" else '<li><a href="%s">Inbox</a></li>' % link
        return self.mailbox_page("<html><head><title>Today</title></head>\n<body>\n<ul>"
                                 '<li><a href="Calendar.aspx?n=2">Calendar</a></li>%s</ul>\n'
                                 "</body></html>\n" % item)

    def check_live_inbox(self, req, scenario):
        self.check_offered(req, "inbox")

    def page_live_inbox(self, req, scenario, _):
        live = self.live()
        if live.referer is None:
            live.referer = req.url
        build, sid, user = self.hand_out(scenario)
        fields = [("BUILD", build, "no_build"), ("SessionId", sid, "no_sessionid"), ("authuser", user, "no_authuser")]
        config = ",".join('%s:"%s"' % (name, value) for name, value, kind in fields if req.broken != kind)
        return self.mailbox_page("<html><head><script type=\"text/javascript\">\n"
                                 "var fppConfig = {%s};\n</script></head>\n"
                                 "<body><div id=\"inbox\">Inbox</div></body></html>\n" % config)

    def hand_out(self, scenario):
        live = self.live()
        build = str(scenario.get("build", DEFAULT_BUILD[live.kind]))
        live.values = (build, token(16), scenario.get("address", "tester@hotmail.com"))
        live.next = None
        return live.values

    # --- full variant

    def check_live_frame(self, req, scenario):
        self.check_offered(req, "frame")

    def page_live_frame(self, req, scenario, _):
        """The first page of the full mailbox: the mail page's link, or with
        skip_mailaspx the application page's link at once."""
        if scenario.get("skip_mailaspx"):
            return self.mailbox_page(self.appmain_link(req, scenario))
        link = "" if req.broken == "no_mailaspx" else '<a href="%s">Mail</a>' % self.offer("mailaspx", "/mail/mail.aspx", "n=3")
        return self.mailbox_page("<html><head><title>Windows Live</title></head>\n<body>\n%s\n</body></html>\n" % link)

    def check_live_mailaspx(self, req, scenario):
        self.check_offered(req, "mailaspx")

    def page_live_mailaspx(self, req, scenario, _):
        return self.mailbox_page(self.appmain_link(req, scenario))

    def appmain_link(self, req, scenario):
        live = self.live()
        build = str(scenario.get("build", DEFAULT_BUILD[live.kind])).lstrip("_")
        name = "ApplicationMain_%s.aspx" % build
        if req.broken == "no_appmain":
            script = ""
        else:
            self.offer("appmain", "/mail/" + name, "n=4")
            script = '<script type="text/javascript" src="%s?n=4"></script>' % name
        return "<html><head><title>Windows Live Hotmail</title>\n%s\n</head><body></body></html>\n" % script

    def check_live_appmain(self, req, scenario):
        self.check_offered(req, "appmain")

    def page_live_appmain(self, req, scenario, _):
        build, sid, user = self.hand_out(scenario)
        fields = [("version", build, "no_version"), ("sessionidhash", sid, "no_sessionidhash"),
                  ("authuser", user, "no_authuser8")]
        config = ",".join('"%s":"%s"' % (name, value) for name, value, kind in fields if req.broken != kind)
        return self.mailbox_page("var App = {%s,\"lang\":\"en-us\"};\n" % config, SCRIPT_TYPE)

    # --- the form-post service

    def service_set(self, req, scenario, method):
        """The request set the agent must use; checks the service query's session values."""
        live = self.live()
        if live.values is None:
            raise Refusal("service request before a page handed out the session values")
        _, sid, user = live.values
        expected = "cnmn=%s.%s&ptid=0&a=%s&au=%s" % (SERVICE, method, sid, user)
        if req.query != expected:
            raise Refusal(simcore.first_difference(expected, req.query, "service query"))
        name = scenario.get("expect_set") or set_for(live.version())
        if name not in SETS:
            raise ScenarioError("unknown request set %r" % name)
        return name, SETS[name]

    def check_body(self, req, expected, what):
        body = req.body.decode("latin-1")
        if body != expected:
            raise Refusal(simcore.first_difference(expected, body, what))

    def check_live_list(self, req, scenario):
        live = self.live()
        name, requests = self.service_set(req, scenario, "GetInboxData")
        common = {"hmSvc": SERVICE, "mtVal": live.mt}
        first = (1, {"pageNo": "1", "pageOp": "0", "linkMsg": "null", "linkStamp": "null"})
        body = req.body.decode("latin-1")
        for page, values in [first] + ([live.next] if live.next else []):
            if body == fill(requests.inbox, dict(common, **values)):
                return name, requests, page
        page, values = live.next or first
        self.check_body(req, fill(requests.inbox, dict(common, **values)), "inbox request body (page %d)" % page)
        return None

    def page_live_list(self, req, scenario, checked):
        """One inbox page, newest first. Beyond the last page the last one comes again;
        sets C and D always offer a next page while the page has rows (their paging ends
        on a repeated first row), A and B only while more follow (or with repeat_page)."""
        name, requests, n = checked
        live = self.live()
        inbox = self.state.mailbox()["inbox"]
        newest = list(reversed(inbox))
        size = max(1, int(scenario.get("page_size", 3)))
        pages = max(1, math.ceil(len(newest) / size))
        shown = min(n, pages)
        ids = newest[(shown - 1) * size:shown * size]
        escaped = bool(scenario.get("escaped_rows"))
        rows = [self.row(i, stamp(inbox.index(i)), escaped and k % 2 == 0) for k, i in enumerate(ids)]
        if req.broken == "row_without_id":
            rows.append('<tr mdt="%s" class="mlUnrd"><td>Draft</td></tr>' % stamp(len(inbox)))
        if req.broken == "no_row_end" and rows:
            rows[-1] = rows[-1][:-len("</tr>")]
        live.listed.update(ids)
        linked = name in LINKED_PAGING
        more = (n < pages or scenario.get("repeat_page")) if linked else True
        link = ""
        live.next = None
        if ids and more:
            last_id, last_stamp = ids[-1], stamp(inbox.index(ids[-1]))
            if linked:
                anchor, anchor_date = "%s|%d" % (last_id, n), "%s|%d" % (last_stamp, n)
            else:
                anchor, anchor_date = last_id, last_stamp
            values = {"pageNo": str(n + 1), "pageOp": "NextPage", "linkMsg": wrapped(anchor),
                      "linkStamp": wrapped(anchor_date)}
            live.next = (n + 1, values)
            link = self.next_link(anchor, anchor_date, n + 1, escaped, req.broken == "bad_next_link")
        elif scenario.get("link_on_empty") and more:
            # A pager shown on a page without rows: nothing can follow from it.
            link = self.next_link("", "", n + 1, escaped, False)
        marker = requests.marker if req.broken != "no_list_marker" else r'<div id=\"messageListPane\">'
        if not marker.endswith(">"):
            marker += r' tabindex=\"0\">'
        end = "" if req.broken == "no_list_end" else "</div>"
        text = ('new HM.FppReturnPackage(0,new HM.InboxUiData("%s<table><tbody>%s</tbody></table>%s","%s",%d));\n'
                % (marker, "".join(rows), end, link, len(inbox)))
        return Response(200, "OK", text, [("Content-Type", SCRIPT_TYPE)])

    def row(self, msg_id, when, escaped):
        if not escaped:
            return '<tr id="%s" mdt="%s" class="mlUnrd"><td>Message %s &amp; more</td></tr>' % (msg_id, when, msg_id)
        # Quotes escaped as in a script string, and the values partly as references.
        shown_id = "&#%d;%s" % (ord(msg_id[0]), msg_id[1:])
        return (r'<tr id=\"%s\" mdt=\"%s\" class=\"mlUnrd\"><td>Message %s &amp; more<\/td></tr>'
                % (shown_id, when.replace(":", "&#58;"), msg_id))

    def next_link(self, anchor, anchor_date, page, escaped, broken):
        q = r'\"' if escaped else '"'
        date = anchor_date.replace(":", "&#58;") if escaped else anchor_date
        current = "" if broken else " pnCur=%s%d%s" % (q, page, q)
        return ('<a id=%snextPageLink%s pnAm=%s%s%s pnAd=%s%s%s pnDir=%sNextPage%s%s href=%s#%s>Next</a>'
                % (q, q, q, anchor, q, q, date, q, q, q, current, q, q))

    def service_message(self, req, scenario, method, step, known, before):
        """The message a mark or move names, its body checked against the set's template;
        known: the messages it may name (those fetched or listed)."""
        live = self.live()
        _, requests = self.service_set(req, scenario, method)
        msg_id = self.live_message(req, step)
        values = {"hmSvc": SERVICE, "mtVal": live.mt, "msgID": msg_id or "<id>"}
        self.check_body(req, fill(getattr(requests, step), values), step + " body")
        if msg_id not in self.state.mailbox()["inbox"]:
            raise Refusal("message %r is not in the inbox" % msg_id)
        if msg_id not in known:
            raise Refusal("%s of message %r before it was %s" % (step, msg_id, before))
        return msg_id

    def check_live_mark(self, req, scenario):
        return self.service_message(req, scenario, "MarkMessages", "mark", self.live().fetched, "fetched")

    def page_live_mark(self, req, scenario, msg_id):
        box = self.state.mailbox()
        if msg_id not in box["read"]:
            box["read"].append(msg_id)
            self.state.save_mailbox(box)
        return Response(200, "OK", "new HM.FppReturnPackage(0,true);\n", [("Content-Type", SCRIPT_TYPE)])

    def check_live_move(self, req, scenario):
        return self.service_message(req, scenario, "MoveMessages", "move", self.live().listed, "listed")

    def page_live_move(self, req, scenario, msg_id):
        box = self.state.mailbox()
        box["inbox"].remove(msg_id)
        box["trash"].append(msg_id)
        self.state.save_mailbox(box)
        return Response(200, "OK", "new HM.FppReturnPackage(0,true);\n", [("Content-Type", SCRIPT_TYPE)])

    # --- message source

    def check_live_source(self, req, scenario):
        msg_id = self.live_message(req, "source")
        if msg_id is None or msg_id not in self.state.mailbox()["inbox"]:
            raise Refusal("source query %r does not name a message in the inbox" % req.query)
        if msg_id not in self.live().listed:
            raise Refusal("source of message %r before it was listed" % msg_id)
        return msg_id

    def page_live_source(self, req, scenario, msg_id):
        """The source inside <pre> with & < > " as references, its line ends as CR LF or
        written "&#13;&#10;" (the whole source on one line); the quirks move the first
        line onto the <pre> line, run the last into </pre>, or leave </pre> out."""
        self.live().fetched.add(msg_id)
        ends = scenario.get("live_line_ends", "crlf")
        if ends not in ("crlf", "entity"):
            raise ScenarioError("unknown live_line_ends %r" % ends)
        eol = b"\r\n" if ends == "crlf" else b"&#13;&#10;"
        text = self.state.message(msg_id).replace(b"\r\n", b"\n")
        lines = [simcore.source_entities(line) for line in text.split(b"\n")]
        if text.endswith(b"\n"):
            lines.pop()
        source = eol.join(lines)
        head = b"<html><head><title>Message source</title></head>\r\n<body>\r\n"
        if req.broken == "errortext_in_source":
            head += b'<div class="errorText">This message could not be shown.</div>\r\n'
        if req.broken == "no_pre":
            page = head + b"<p>The message is not available.</p>\r\n</body></html>\r\n"
        elif req.broken == "no_trailer":
            page = head + b"<div><pre>" + eol + source + eol
        elif scenario.get("no_close"):
            page = head + b"<div><pre>" + eol + source + b"</div></body></html>"
        else:
            opening = b"<div><pre>" if scenario.get("pre_inline") else b"<div><pre>" + eol
            closing = b"</pre>" if scenario.get("close_inline") else eol + b"</pre>"
            page = head + opening + source + closing + b"</div>\r\n</body></html>\r\n"
        return Response(200, "OK", page, [("Content-Type", "text/html; charset=utf-8")])
