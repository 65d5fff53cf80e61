#include "hotmail.h"

#include "hotmail_session.h"
#include "httpauth.h"
#include "log.h"
#include "mailbox.h"
#include "mailindex.h"
#include "relay.h"
#include "rundriver.h"
#include "texthelpers.h"

namespace hotmail {

bool ErrorPage(std::string_view url, std::string_view page, Str& detail) {
    if (InStr(1, url, "/toobusy.html")) {
        detail = ToStr("Server too busy.\r\nWe are experiencing higher than normal volume and are therefore unable to "
                       "service your request at this time.  Wait a few minutes and try again.");
        return true;
    }
    if (InStr(1, url, "/fm_shell.asp")) {
        detail = ToStr("Error value not found.");
        if (long at = InStr(1, url, "err=")) {
            std::string_view value = url.substr(static_cast<size_t>(at - 1) + 4);
            value = value.substr(0, value.find('&'));
            if (!value.empty()) detail = DecodeURLComponent(value);
        }
        if (InStr(1, url, "content=machinedown"))
            detail = ToStr("The server that holds your account information is temporarily unavailable.");
        return true;
    }
    if (long at = InStr(1, page, "HM.FppError(")) {
        detail = ToStr("Error value not found.");
        size_t comma = page.find(',', static_cast<size_t>(at - 1));
        size_t open = comma == std::string_view::npos ? comma : page.find('"', comma);
        size_t close = open == std::string_view::npos ? open : page.find('"', open + 1);
        if (close != std::string_view::npos && close > open + 1) detail = ToStr(page.substr(open + 1, close - open - 1));
        return true;
    }
    constexpr std::string_view kErrorText = "class=\"errorText\">";
    if (long at = InStr(1, page, kErrorText)) {
        detail = ToStr("Error value not found.");
        long from = at + static_cast<long>(kErrorText.size());
        if (long end = InStr(from, page, "</div")) {
            Str text = ToStr(page.substr(static_cast<size_t>(from - 1), static_cast<size_t>(end - from)));
            // An empty text would leave the alert without an explanation.
            if (!Trim(HTMLText_decode(text)).empty()) detail = std::move(text);
        }
        return true;
    }
    return false;
}

Str SboxUrl(std::string_view page) {
    Str quoted = webFormParseUrl(InStr(1, page, "sbox"), page, "'\"", "'\"");
    HTMLText_decode(quoted);
    long http = InStr(1, View(quoted), "http");
    if (!http) return Str();
    Str url = webFormParseUrl(http, View(quoted), "'", "'");
    return EscapeText_decode(url);
}

Str CookieUrl(std::string_view page) {
    Str url = webFormParseUrl(InStr(1, page, "loginmsn.srf"), page, "'\"", "'\"");
    return HTMLText_decode(url);
}

namespace {

// The text after key in link up to the next "&" or the end.
Str queryValue(std::string_view link, std::string_view key) {
    long at = InStr(1, link, key);
    if (!at) return Str();
    std::string_view rest = link.substr(static_cast<size_t>(at - 1) + key.size());
    return ToStr(rest.substr(0, rest.find('&')));
}

} // namespace

InboxLink FindInboxLink(std::string_view page) {
    long from = 1;
    while (long at = InStr(from, page, "\"/cgi-bin/HoTMaiL?")) {
        Str link = webFormParseUrl(at, page, "\"", "\"");
        if (link.empty()) break;
        from = at + static_cast<long>(link.size());
        InboxLink found{link, queryValue(View(link), "curmbox="), queryValue(View(link), "&a=")};
        if (found.curmbox.ends_with("000000001") && !found.sessionKey.empty()) return found;
    }
    return {};
}

void MessageIds(std::string_view page, const std::function<void(std::string_view id)>& visit) {
    constexpr std::string_view kLink = "getmsg?msg=";
    long from = 1;
    while (long at = InStr(from, page, kLink)) {
        size_t start = static_cast<size_t>(at - 1) + kLink.size();
        size_t end = std::min(page.find_first_of("&'", start), page.size());
        visit(page.substr(start, end - start));
        from = static_cast<long>(start) + 1;
    }
}

Str TrashFolder(std::string_view page) {
    long from = 1;
    while (long at = InStr(from, page, "<a ")) {
        long gt = InStr(at, page, ">");
        if (!gt) break;
        std::string_view tag = page.substr(static_cast<size_t>(at - 1), static_cast<size_t>(gt - at + 1));
        from = gt + 1;
        long folder = InStr(1, tag, "HMFO('");
        if (!folder) continue;
        std::string_view id = tag.substr(static_cast<size_t>(folder - 1) + 6);
        id = id.substr(0, id.find('\''));
        if (id == "00000000-0000-0000-0000-000000000002" || strcmpi(id, "F000000004") == 0) return ToStr(id);
    }
    return Str();
}

} // namespace hotmail

namespace {

constexpr std::string_view kPadText = "IfYouAreReadingThisYouHaveTooMuchFreeTime";

} // namespace

namespace hotmail {

namespace {

// The error check on the last answer's URL and the given part of its body.
int checkText(webMail& s, std::string_view text) {
    Str detail;
    if (!ErrorPage(View(client(s).url), text, detail)) return 0;
    return pageError(s, View(serverError()), View(detail));
}

} // namespace

int checkPage(webMail& s) { return checkText(s, View(client(s).body)); }

} // namespace hotmail

namespace {

using namespace hotmail;

Str cgiUrl(webMail& s, std::string_view id, std::string_view action) {
    return NewStr(View(http_hostUrl(client(s))), "/cgi-bin/getmsg?msg=", id, action, View(s.sessionKey));
}

// The directory pages of the CGI inbox, matched against the index; then the deletions
// an earlier run left unconfirmed.
int listCgiInbox(webMail& s) {
    HttpClient& http = client(s);
    mailIndex& ix = *mt_globals.mailIndex;
    updateStatus(View(acctAddr()), "Getting mail list");
    Str().swap(s.msgList);
    s.newCount = 0;
    Str cleanup;
    IdSet seen;
    for (int n = 1;; ++n) {
        if (CkStopReq()) return -1;
        Str url = NewStr(View(http_hostUrl(http)), "/cgi-bin/HoTMaiL?page=", std::to_string(n), "&wo=&msg=&curmbox=",
                         View(s.curmbox), "&a=", View(s.sessionKey), "&sort=date");
        if (getPage(s, "GET", View(url), "", View(pageHeaders(View(s.refererUrl), "Keep-Alive"))) < 0) return HttpError(s);
        debugLog("HotmailMail.openAccount Dir Page %i:\n%s", n, http.body.c_str());
        int listed = 0, added = 0;
        hotmail::MessageIds(View(http.body), [&](std::string_view id) {
            ++listed;
            if (!usableId(id)) {
                ShowAlert("Note", View(NewStr("Error found in ", typeName(), " message list.")),
                          "Some messages may not be forwarded.");
                return;
            }
            if (!seen.insert(ToStr(id)).second) return;
            ++added;
            Str name = ToStr(id);
            debugLog("HotmailMail.openAccount msgID: %s", name.c_str());
            ListedMessage(s, ix, id, id, cleanup);
        });
        if (listed == 0) break;
        if (n == 1) {
            s.trashFolder = hotmail::TrashFolder(View(http.body));
            debugLog("HotmailMail.openAccount Trash mailbox: %s", s.trashFolder.c_str());
            if (s.trashFolder.empty()) {
                pageError(s, View(NewStr("Error found in ", typeName(), " message list.")), "Trash folder link not found.");
                return HttpError(s);
            }
        }
        // A page that lists nothing new repeats an earlier one: the paging would not end.
        if (added == 0 || !InStr(1, View(http.body), View(NewStr("page=", std::to_string(n + 1), "&wo=")))) break;
    }
    mt_globals.indexChanged = 1;
    return cleanUp(s, View(cleanup));
}

// The sign-in pages up to the mailbox; each page after the first is checked for errors
// where the sign-in says so.
class Login : public PageWalk {
public:
    using PageWalk::PageWalk;
    int run();

private:
    int request(const char* method, std::string_view link, std::string_view body, bool check) {
        if (int rc = PageWalk::request(method, link, body)) return rc;
        return check && checkPage(s_) < 0 ? HttpError(s_) : 0;
    }
    // GET of a link the page leads on with, traced; the login part's failure without one.
    int follow(const Str& link, const char* traced, const char* missing) {
        debugLog("%s%s", traced, link.c_str());
        if (link.empty()) return fail(missing);
        return request("GET", View(link), "", true);
    }
};

int Login::run() {
    const AccountRow& row = account();
    const char* type = typeName();
    updateStatus(View(row.addr), View(NewStr("Connecting to ", View(row.type), " server")));
    debugLog("Connecting to %s server", type);
    debugLog("%s Login (1)", type);
    s_.mailboxKind = 0;
    http_.serverName = row.type;
    http_authInit(http_, View(GetPassWord(0)));
    if (request("GET", View(globals.hotmailStartUrl), "", false) < 0) return -1;

    debugLog("%s Login (2)", type);
    Str query = getKwdVal("g_QS", "=", "", ";", page());
    Str token = getKwdVal("value", "=", "", "", View(getKwdVal("srf_sFT", "=", "", ";", page())));
    std::string_view pad = row.pass.size() < kPadText.size() ? kPadText.substr(0, kPadText.size() - row.pass.size()) : "";
    Str form = NewStr("login=", View(EncodeURLComponent(View(row.addr))), "&passwd=",
                      View(EncodeURLComponent(View(row.pass))), "&sec=&mspp_shared=&PwdPad=",
                      View(EncodeURLComponent(pad)), "&PPSX=Pas&LoginOptions=3&PPFT=", View(EncodeURLComponent(View(token))));
    debugLog("HotmailMail.openAccount login part 2 postData: %s", http_maskSecrets(View(form)).c_str());
    Str post = NewStr("https://", View(globals.hotmailLoginHost), "/ppsecure/post.srf?", View(query));
    if (request("POST", View(post), View(form), true) < 0) return -1;

    if (InStr(1, View(http_.url), "/LoginError.aspx")) {
        Str title = getKwdVal("\"errorTitle\"", ">", "=", "<", page());
        Str text = getKwdVal("\"errorText\"", ">", "=", "<", page());
        Str detail = NewStr(View(title), "\r\n", View(text));
        if (title.empty() && text.empty()) {
            detail = ToStr("Login error");
            Str code = getKwdVal("error", "=", "?", "&", View(http_.url));
            if (!code.empty()) AppendStr(AppendStr(detail, " "), View(code));
        }
        pageError(s_, View(serverError()), View(detail));
        return HttpError(s_);
    }
    if (InStr(1, page(), "onLoad_Login") || InStr(1, page(), "onLoad_LockedOut") || InStr(1, page(), "srf_fError=1")) {
        Str why = getKwdVal("srf_sErr", "=", "", " ;", page());
        return fail(why.empty() ? "Check the account information in the Preferences dialog." : View(why));
    }
    debugLog("%s Login (3)", type);
    webFormInit(s_);
    webFormParse(s_, page());
    if (!s_.formAction.empty()) {
        Str fields = webFormParmStr(s_);
        Str action = s_.formAction;
        if (request("POST", View(action), View(fields), true) < 0) return -1;
    }

    debugLog("%s Login (4)", type);
    if (follow(webFormParseUrl(InStr(1, page(), "wa=wsignin"), page(), "\"", "\""),
               "HotmailMail.openAccount login part 4 url: ", "Login sequence (4) error - login URL not found.") < 0)
        return -1;

    debugLog("%s Login (5)", type);
    if (!InStr(1, page(), "sbox")) {
        debugLog("HotmailMail.openAccount trying beta account");
        s_.mailboxKind = 2;
        return OpenAccountBeta(s_, View(previous_));
    }
    debugLog("HotmailMail.openAccount original Hotmail account");
    Str login = hotmail::SboxUrl(page());
    debugLog("HotmailMail.openAccount login part 5 url: %s", login.c_str());
    if (login.empty()) return fail("Login sequence (5) error - login URL not found.");
    Str cookie = hotmail::CookieUrl(page());
    debugLog("HotmailMail.openAccount login part 5 cookie url: %s", cookie.c_str());
    if (cookie.empty()) return fail("Login sequence (5) error - cookie URL not found.");
    if (request("GET", View(cookie), "", true) < 0 || request("GET", View(login), "", true) < 0) return -1;

    if (!InStr(1, page(), "\"/cgi-bin/HoTMaiL?")) {
        debugLog("%s Login (6)", type);
        if (follow(webFormParseUrl(InStr(1, page(), "/cgi-bin/hmhome?"), page(), "\"", "\""),
                   "HotmailMail.openAccount login part 6 url: ", "Login sequence (6) error - Inbox URL not found.") < 0)
            return -1;
    }

    debugLog("%s Login (7)", type);
    hotmail::InboxLink inbox = hotmail::FindInboxLink(page());
    debugLog("HotmailMail.openAccount login part 7 URL: %s", inbox.link.c_str());
    if (inbox.sessionKey.empty()) return fail("Login sequence (7) error - Inbox URL not found.");
    s_.curmbox = std::move(inbox.curmbox);
    s_.sessionKey = std::move(inbox.sessionKey);
    s_.refererUrl = http_.url;
    return listCgiInbox(s_);
}

// Fetching a message: the head first and the error check on where it led, then the
// page in pieces through the text recovery of its mailbox kind.
int openSource(webMail& s, std::string_view id) {
    debugLog("msgID: %.*s", static_cast<int>(id.size()), id.data());
    if (s.mailboxKind >= 1) {
        s.liveSource = LiveSource();
        Str url = NewStr(View(http_hostUrl(client(s))), "/mail/GetMessageSource.aspx?msgid=", id);
        if (sendRequest(s, "GET", View(url), "", View(pageHeaders(View(s.refererUrl), "Close"))) < 0) return -1;
    } else {
        s.cgiSource = CgiSource();
        Str url = cgiUrl(s, id, "&imgsafe=n&raw=0&a=");
        if (sendRequest(s, "GET", View(url), "", View(pageHeaders(View(s.refererUrl), "Keep-Alive"))) < 0) return -1;
    }
    return checkPage(s);
}

template <class Source>
long nextText(webMail& s, Source& source, std::string_view& chunk) {
    HttpClient& http = client(s);
    s.sourceText.clear();
    while (s.sourceText.empty()) {
        // The Live mailbox's pages may end a byte short or without their last chunk.
        if (s.mailboxKind >= 1) http.acceptShortBody = 1;
        long n = http_getData(http, 4096);
        if (n < 0) return -1;
        if (n == 0) {
            if (const char* missing = source.finish(s.sourceText))
                return pageError(s, View(NewStr("Error found in ", typeName(), " server data.")), missing);
            break;
        }
        // An error page in place of the message is reported as such, not as a message
        // without its text. Only the page before the text is checked: a message may
        // quote an error marker. When the text began in this piece without a whole
        // "<pre>" in it, the marker was split and what came before it was checked.
        bool head = source.beforeText();
        source.feed(View(http.body), s.sourceText);
        if (head) {
            std::string_view before = View(http.body);
            if (!source.beforeText()) {
                long pre = InStr(1, before, "<pre>");
                before = before.substr(0, pre ? static_cast<size_t>(pre - 1) : 0);
            }
            if (checkText(s, before) < 0) return -1;
        }
    }
    chunk = View(s.sourceText);
    return static_cast<long>(s.sourceText.size());
}

long nextSource(webMail& s, std::string_view& chunk) {
    return s.mailboxKind >= 1 ? nextText(s, s.liveSource, chunk) : nextText(s, s.cgiSource, chunk);
}

// Opening a message is what marks it read in the CGI mailbox; only the head of the
// answer is read (the page is the message, which may quote any marker), so only an
// error page it was sent to shows that the mark failed.
int MarkMsg(webMail& s, std::string_view id) {
    if (s.mailboxKind >= 1) return LiveMarkMsg(s, id);
    Str url = cgiUrl(s, id, "&imgsafe=n&a=");
    debugLog("HotmailMail.MarkMsg msgURL: %s", url.c_str());
    if (sendRequest(s, "GET", View(url), "", View(pageHeaders(View(s.refererUrl), "Keep-Alive"))) < 0) return -1;
    http_closeSocket(client(s));
    return checkPage(s);
}

const MailboxClient kHotmail = {
    nullptr, 1, nullptr, nullptr, nullptr, openSource, nextSource, DelMsg, MarkMsg, nullptr, nullptr, HttpError, nullptr,
};

int HotmailMail_OpenAccount(webMail& s) { return Login(s).run(); }

int HotmailMail_ProcessMsg(webMail& s) {
    debugLog("Processing %s messages", typeName());
    return ProcessMailbox(s, kHotmail);
}

int HotmailMail_CloseAccount(webMail&) {
    debugLog("Closing %s account", typeName());
    return 0;
}

} // namespace

// Moves a message to the trash: "D" first, so a move that fails is finished by the next
// run's clean-up; "X" once the service took it. The answer is read whole: an error page
// is the only sign that a move failed.
int hotmail::DelMsg(webMail& s, std::string_view id) {
    mailIndex& ix = *mt_globals.mailIndex;
    MarkAcct(ix, id, "D");
    if (s.mailboxKind >= 1) {
        if (LiveDelMsg(s, id) < 0) return -1;
    } else {
        Str url = cgiUrl(s, id, View(NewStr("&_HMaction=move&tobox=", View(s.trashFolder), "&a=")));
        debugLog("HotmailMail.delMsg msgURL: %s", url.c_str());
        if (getPage(s, "GET", View(url), "", View(pageHeaders(View(s.refererUrl), "Keep-Alive"))) < 0 || checkPage(s) < 0)
            return -1;
    }
    MarkAcct(ix, id, "X");
    return 0;
}

void HotmailMail_Init(webMail& s) {
    s.OpenAccount = HotmailMail_OpenAccount;
    s.ProcessMsg = HotmailMail_ProcessMsg;
    s.CloseAccount = HotmailMail_CloseAccount;
}

int hotmail::cleanUp(webMail& s, std::string_view ids) { return CleanUp(s, ids, kHotmail); }
