// The Windows Live mailbox: the pages from the sign-in to the inbox in its classic and
// full variants, the request set of its build, and the inbox listed page by page through
// its form-post service; mark and move through the same service.
#include "hotmail_session.h"
#include "httpauth.h"
#include "log.h"
#include "mailbox.h"
#include "mailindex.h"
#include "rundriver.h"
#include "texthelpers.h"

namespace {

constexpr std::string_view kServiceClass = "Microsoft.Msn.Hotmail.Ui.Fpp.MailBox";
constexpr std::string_view kRowMarker = "<tr ";
// Preceding characters of the session values in the mailbox pages.
constexpr std::string_view kValueStart = " ,{\n\r\t";

// The service answers with a script string, so the list's opening tag arrives with its
// quotes backslash-escaped: the markers hold the backslashes.
constexpr LiveRequests kSets[] = {
    {'A',
     "cn=%hmSvc%&mn=GetInboxData&d=true,true,{%2200000000-0000-0000-0000-000000000001%22,%pageOp%,0,Date,false,"
     "%linkMsg%,%linkStamp%,%pageNo%,%pageNo%,false,null,-1,-1,Off},false,null&v=1&mt=%mtVal%",
     "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],{%2200000000-0000-0000-0000-000000000001%22,"
     "FirstPage,0,Date,false,%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,1,-1,Off}&v=1&mt=%"
     "mtVal%",
     "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,%2200000000-0000-0000-0000-"
     "000000000002%22,[%22%msgID%%22],[{%225C%5C%7C0%5C%7C8CC05E2384AC7D0%5C%7C%22,null}],{%2200000000-0000-0000-"
     "0000-000000000001%22,FirstPage,0,Date,false,%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,"
     "0,-1,Off}&v=1&mt=%mtVal%",
     R"(<div id=\"messageListContentContainer\">)"},
    {'B',
     "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,%pageOp%,0,Date,false,"
     "%linkMsg%,%linkStamp%,%pageNo%,%pageNo%,false,null,-1,-1,Off},false,null&v=1&mt=%mtVal%",
     "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%2240%5C%7C0%5C%7C8CC051E7D39E020%5C%7C%5C%7C%22}],"
     "{%2200000000-0000-0000-0000-000000000001%22,FirstPage,0,Date,false,%2200000000-0000-0000-0000-000000000000%22,"
     "%22%22,1,2,false,%22%22,21,-1,Off}&v=1&mt=%mtVal%",
     "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,%2200000000-0000-0000-0000-"
     "000000000002%22,[%22%msgID%%22],[{%2240%5C%7C0%5C%7C8CC051E7D39E020%5C%7C%5C%7C%22}],{%2200000000-0000-0000-"
     "0000-000000000001%22,FirstPage,0,Date,false,%2200000000-0000-0000-0000-000000000000%22,%22%22,1,2,false,%22%22,"
     "20,-1,Off}&v=1&mt=%mtVal%",
     R"(<div id=\"messageListContentContainer\">)"},
    {'C',
     "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,,,%pageOp%,5,%pageNo%,"
     "%linkMsg%,%linkStamp%,Date,false,false,%22%22,null,-1,Off,123,null,null},false,null&v=1",
     "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%224%5C%7C0%5C%7C8CCF6EFA7498FF0%5C%7C%5C%7C0%5C%"
     "7C0%5C%7C0%5C%7C6%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,%2200000000-0000-"
     "0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,123,null,%22%22},false&v=1",
     "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,%2200000000-0000-0000-0000-"
     "000000000002%22,[%22%msgID%%22],[{%224%5C%7C0%5C%7C8CCF6EFA7498FF0%5C%7C%5C%7C0%5C%7C0%5C%7C0%5C%7C6%5C%7C%22}],"
     "null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,%2200000000-0000-0000-0000-000000000000%22,%22%"
     "22,Date,false,false,%22%22,null,0,Off,122,null,%22%22},true,false,null,null,null,false&v=1",
     R"(<div id=\"messageListScrollableContainer\")"},
    {'D',
     "cn=%hmSvc%&mn=GetInboxData&d=true,false,true,{%2200000000-0000-0000-0000-000000000001%22,null,null,%pageOp%,5,%"
     "pageNo%,%linkMsg%,%linkStamp%,Date,false,false,null,null,-1,Off,-1,null,null,false},false,null&v=1",
     "cn=%hmSvc%&mn=MarkMessagesReadState&d=true,[%22%msgID%%22],[{%222044%5C%7C0%5C%7C8CD37697826A400%5C%7C%5C%7C0%5C%"
     "7C1%5C%7C0%5C%7C0%5C%7C2%5C%7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,%2200000000-"
     "0000-0000-0000-000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,3,null,%22%22,true},false&v=1",
     "cn=%hmSvc%&mn=MoveMessagesToFolder&d=%2200000000-0000-0000-0000-000000000001%22,%2200000000-0000-0000-0000-"
     "000000000002%22,[%22%msgID%%22],[{%220%5C%7C0%5C%7C8CD3807E12BAB50%5C%7C%5C%7C0%5C%7C0%5C%7C0%5C%7C0%5C%7C14%5C%"
     "7C%22}],null,{%2200000000-0000-0000-0000-000000000001%22,,,FirstPage,5,1,%2200000000-0000-0000-0000-"
     "000000000000%22,%22%22,Date,false,false,%22%22,null,-1,Off,3,null,%22%22,true},false,false,null,null,null,false,"
     "false&v=1",
     R"(<div id=\"messageListScrollableContainer\")"},
};

// The versions from which sets B, C and D apply.
constexpr std::string_view kSetStarts[] = {"_15.1.3020.0910", "_15.3.2512.0712", "_15.4.0317.0921"};

} // namespace

const LiveRequests& hotmail::LiveSetFor(std::string_view buildVersion) {
    // Compared over at most 16 bytes, the terminating zero included: a longer version
    // that starts with a set's first version belongs to that set.
    std::string_view version = buildVersion.substr(0, 16);
    for (size_t i = 0; i < std::size(kSetStarts); ++i) {
        std::string_view key = kSetStarts[i];
        if (std::lexicographical_compare(version.begin(), version.end(), key.begin(), key.end(),
                                         [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); }))
            return kSets[i];
    }
    return kSets[std::size(kSets) - 1];
}

namespace hotmail {
namespace {

Str decoded(std::string_view text) {
    Str t = ToStr(text);
    EscapeText_decode(t);
    return HTMLText_decode(t);
}

// The form-post service's URL for a method, and the lines its requests carry.
Str serviceUrl(webMail& s, std::string_view method) {
    return NewStr(View(http_hostUrl(client(s))), "/mail/mail.fpp?cnmn=", View(s.serviceClass), ".", method,
                  "&ptid=0&a=", View(s.sessionKey), "&au=", View(s.authUser));
}

Str serviceHeaders(std::string_view url, std::string_view mt) {
    return NewStr("Accept: */*\r\nReferer: ", url, "\r\nConnection: Keep-Alive\r\nmt: ", mt, "\r\n");
}

// A template with the session's values in: "%hmSvc%", "%mtVal%", then the method's own.
Str fillTemplate(webMail& s, std::string_view text, std::string_view mt,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
    Str body = ToStr(text);
    ReplaceAll(body, "%hmSvc%", View(s.serviceClass));
    ReplaceAll(body, "%mtVal%", mt);
    for (const auto& [name, value] : values) ReplaceAll(body, name, value);
    return body;
}

// A mark or move request, its answer read whole and checked: an error page means it did
// not take effect. Each reads the "mt" cookie anew.
int serviceRequest(webMail& s, std::string_view method, const char* traced, std::string_view templ,
                   std::string_view id) {
    Str url = serviceUrl(s, method);
    debugLog("%s%s", traced, url.c_str());
    Str mt = http_getCookie(client(s), "mt");
    Str body = fillTemplate(s, templ, View(mt), {{"%msgID%", id}});
    Str headers = serviceHeaders(View(url), View(mt));
    if (getPage(s, "POST", View(url), View(body), View(headers)) < 0) return -1;
    return checkPage(s);
}

class LiveLogin {
public:
    LiveLogin(webMail& s, std::string_view lastUrl) : s_(s), http_(client(s)), last_(ToStr(lastUrl)) {}
    int run();

private:
    int classic();
    int full();
    int list();
    int fail(std::string_view detail) {
        pageError(s_, View(loginFailed()), detail);
        return HttpError(s_);
    }
    // The listing's answer is not what the service sends.
    int broken(std::string_view detail) {
        pageError(s_, View(NewStr("Error found in ", typeName(), " server data.")), detail);
        return HttpError(s_);
    }
    // GET of url with referer, then the error check; the error rule's result on a failure.
    int get(std::string_view url, std::string_view referer) {
        Str target = ToStr(url);
        if (getPage(s_, "GET", View(target), "", View(pageHeaders(referer, "Keep-Alive"))) < 0) return HttpError(s_);
        last_ = target;
        return checkPage(s_) < 0 ? HttpError(s_) : 0;
    }
    // A session value of the mailbox page; the login part's failure when it is empty.
    bool value(const char* keyword, std::string_view terminators, const char* traced, const char* missing, Str& into,
               int& rc) {
        into = getKwdVal(keyword, ":", kValueStart, terminators, page());
        debugLog("%s%s", traced, into.c_str());
        if (into.empty()) rc = fail(missing);
        return !into.empty();
    }
    std::string_view page() const { return View(http_.body); }
    Str mailUrl(std::string_view link) const {
        return NewStr(View(http_hostUrl(http_)), InStr(1, link, "/mail/") ? "" : "/mail/", link);
    }

    webMail& s_;
    HttpClient& http_;
    Str last_; // the URL of the last request sent
};

int LiveLogin::run() {
    const char* type = typeName();
    long frame = InStr(1, page(), "<iframe id=\"UIFrame\"");
    if (!frame) {
        debugLog("Trying new iFrame statement");
        frame = InStr(1, page(), "<iframe   id=\"UIFrame\"");
    }
    if (frame) {
        debugLog("%s Login (6)", type);
        long end = InStr(frame, page(), "</iframe");
        std::string_view element = page().substr(static_cast<size_t>(frame - 1),
                                                 end ? static_cast<size_t>(end - frame) : std::string_view::npos);
        Str src = getKwdVal("src", "=", "", "", element);
        HTMLText_decode(src);
        debugLog("HotmailMail.OpenAccountBeta login part 6 url: %s", src.c_str());
        if (src.empty()) return fail("Login sequence (6) error - login URL not found.");
        Str url = http_resolveUrl(View(http_.url), View(src));
        if (int rc = get(View(url), View(last_))) return rc;
    }
    bool light = InStr(1, View(http_.url), "/TodayLight.aspx") || InStr(1, View(http_.url), "/InboxLight.aspx") ||
                 InStr(1, View(http_.url), "/home.mvc");
    int rc = light ? classic() : full();
    if (rc) return rc;
    s_.serviceClass = ToStr(kServiceClass);
    s_.liveSet = &LiveSetFor(View(s_.buildVersion));
    debugLog("HotmailMail.openAccountBeta request set %c for version %s", s_.liveSet->name, s_.buildVersion.c_str());
    return list();
}

int LiveLogin::classic() {
    debugLog("HotmailMail.openAccountBeta Hotmail Classic account");
    s_.mailboxKind = 1;
    s_.refererUrl = http_.url;
    debugLog("%s Login (7)", typeName());
    if (InStr(1, View(http_.url), "/InboxLight.aspx")) {
        debugLog("HotmailMail.OpenAccountBetaC login part 7 Today page skipped");
    } else {
        Str link = webFormParseUrl(InStr(1, page(), "InboxLight.aspx"), page(), "\"", "\"");
        HTMLText_decode(link);
        debugLog("HotmailMail.OpenAccountBetaC login part 7 url: %s", link.c_str());
        if (link.empty()) return fail("Login sequence (7) error - Inbox URL not found.");
        if (int rc = get(View(mailUrl(View(link))), View(s_.refererUrl))) return rc;
    }
    int rc = 0;
    Str build;
    if (!value("BUILD", " ,", "Hotmail.openAccountBetaC login part 7 version: ",
               "Login sequence (7) error - version value not found.", build, rc) ||
        !value("SessionId", " ,", "Hotmail.openAccountBetaC login part 7 sessionId: ",
               "Login sequence (7) error - sessionId value not found.", s_.sessionKey, rc) ||
        !value("authuser", " ,}", "Hotmail.openAccountBetaC login part 7 authuser: ",
               "Login sequence (7) error - authuser value not found.", s_.authUser, rc))
        return rc;
    s_.buildVersion = NewStr("_", View(build));
    return 0;
}

int LiveLogin::full() {
    debugLog("HotmailMail.openAccountBeta Hotmail Full account");
    const char* type = typeName();
    if (!InStr(1, page(), "ApplicationMain_")) {
        debugLog("%s Login (7)", type);
        Str link = webFormParseUrl(InStr(1, page(), "/mail/mail.aspx?"), page(), "\"", "\"");
        debugLog("HotmailMail.OpenAccountBeta login part 7 url: %s", link.c_str());
        if (link.empty()) return fail("Login sequence (7) error - login URL not found.");
        Str url = http_resolveUrl(View(http_.url), View(link));
        if (int rc = get(View(url), View(last_))) return rc;
    }
    debugLog("%s Login (8)", type);
    Str link = webFormParseUrl(InStr(1, page(), "ApplicationMain_"), page(), "\"", "\"");
    debugLog("HotmailMail.OpenAccountBeta login part 8 url: %s", link.c_str());
    if (link.empty()) return fail("Login sequence (8) error - login URL not found.");
    if (int rc = get(View(mailUrl(View(link))), View(last_))) return rc;
    int rc = 0;
    if (!value("\"version\"", " ,", "Hotmail.openAccountBeta login part 8 version: ",
               "Login sequence (8) error - version value not found.", s_.buildVersion, rc) ||
        !value("\"sessionidhash\"", " ,", "Hotmail.openAccountBeta login part 8 sessionidhash: ",
               "Login sequence (8) error - sessionidhash value not found.", s_.sessionKey, rc) ||
        !value("\"authuser\"", " ,", "Hotmail.openAccountBeta login part 8 authuser: ",
               "Login sequence (8) error - authuser value not found.", s_.authUser, rc))
        return rc;
    return 0;
}

int LiveLogin::list() {
    const LiveRequests& set = *s_.liveSet;
    const bool linkedPaging = set.name == 'A' || set.name == 'B';
    mailIndex& ix = *mt_globals.mailIndex;
    updateStatus(View(acctAddr()), "Getting mail list");
    Str().swap(s_.msgList);
    s_.newCount = 0;
    Str cleanup, pageNo = ToStr("1"), pageOp = ToStr("0"), linkMsg = ToStr("null"), linkStamp = ToStr("null"), firstId;
    IdSet seen;
    const Str mt = http_getCookie(http_, "mt");
    const Str url = serviceUrl(s_, "GetInboxData");
    auto note = [&] {
        ShowAlert("Note", View(NewStr("Error found in ", typeName(), " message list.")), "Some messages may not be forwarded.");
    };
    while (true) {
        if (CkStopReq()) return -1;
        Str body = fillTemplate(s_, set.inboxTemplate, View(mt),
                                {{"%pageNo%", View(pageNo)}, {"%pageOp%", View(pageOp)}, {"%linkMsg%", View(linkMsg)},
                                 {"%linkStamp%", View(linkStamp)}});
        if (getPage(s_, "POST", View(url), View(body), View(serviceHeaders(View(url), View(mt)))) < 0) return HttpError(s_);
        if (checkPage(s_) < 0) return HttpError(s_);
        debugLog("Hotmail.openAccountBeta Directory list page %s:\r\n%s", pageNo.c_str(), http_.body.c_str());
        std::string_view answer = page();
        long open = InStr(1, answer, set.listMarker);
        if (!open) return broken("Message directory list data not found.");
        long close = InStr(open, answer, "</div>");
        if (!close) return broken("Message directory list data end tag not found.");
        std::string_view listText = answer.substr(static_cast<size_t>(open - 1), static_cast<size_t>(close - open + 6));
        bool first = true, ended = false;
        int added = 0;
        for (long at = 1; (at = InStr(at, listText, kRowMarker));) {
            long end = InStr(at, listText, "</tr>");
            if (!end) return broken("Message directory list entry end tag not found.");
            Str row = decoded(listText.substr(static_cast<size_t>(at - 1), static_cast<size_t>(end - at + 5)));
            at = end;
            Str id = getKwdVal("id", "=", " ", " ", View(row));
            Str stamp = getKwdVal("mdt", "=", " ", " ", View(row));
            if (!usableId(View(id))) {
                note();
                ended = true;
                break;
            }
            if (first) {
                first = false;
                if (id == firstId) {
                    linkMsg.clear();
                    break;
                }
                firstId = id;
            }
            debugLog("HotMail.openAccountBeta msgID: %s", id.c_str());
            linkMsg = id;
            linkStamp = stamp;
            if (!seen.insert(id).second) continue;
            ++added;
            ListedMessage(s_, ix, View(id), View(id), cleanup, true);
        }
        if (ended || (!linkedPaging && linkMsg.empty())) break;
        // A page that lists nothing new repeats an earlier one or is empty: the paging
        // would not end.
        if (added == 0) break;
        long next = InStr(1, answer, "nextPageLink");
        if (!next) break;
        Str element = decoded(View(webFormParseUrl(next, answer, "<", ">")));
        if (linkedPaging) {
            linkMsg = getKwdVal("pnAm", "=", " ", " >", View(element));
            linkStamp = getKwdVal("pnAd", "=", " ", " >", View(element));
        }
        pageOp = getKwdVal("pnDir", "=", " ", " >", View(element));
        pageNo = getKwdVal("pnCur", "=", " ", " >", View(element));
        if (linkMsg.empty() || pageOp.empty() || pageNo.empty()) {
            note();
            break;
        }
        linkMsg = NewStr("%22", View(EncodeURLComponent(View(linkMsg))), "%22");
        linkStamp = NewStr("%22", View(EncodeURLComponent(View(linkStamp))), "%22");
    }
    mt_globals.indexChanged = 1;
    return cleanUp(s_, View(cleanup));
}

} // namespace

int OpenAccountBeta(webMail& s, std::string_view lastUrl) { return LiveLogin(s, lastUrl).run(); }

int LiveMarkMsg(webMail& s, std::string_view id) {
    return serviceRequest(s, "MarkMessages", "HotmailMail.MarkMsgBeta msgURL: ", s.liveSet->markTemplate, id);
}

int LiveDelMsg(webMail& s, std::string_view id) {
    return serviceRequest(s, "MoveMessages", "HotmailMail.delMsgBeta msgURL: ", s.liveSet->moveTemplate, id);
}

} // namespace hotmail
