// The Yahoo module's requests: the sign-in pages, the mail web service (list, raw
// header, parts, move, flag), attachment downloads and the logout.
#include "yahoo.h"

#include <cstdio>

#include "httpauth.h"
#include "log.h"
#include "mailbox.h"
#include "mailindex.h"
#include "relay.h"
#include "rundriver.h"
#include "texthelpers.h"
#include "web_requests.h"

namespace {

using namespace web;

constexpr std::string_view kEnvelope =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/1999/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/1999/XMLSchema\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
constexpr std::string_view kListMessages =
    "<SOAP-ENV:Body><m:ListMessages xmlns:m=\"urn:yahoo:ymws\" startInfo=\"0\" numInfo=\"9999\" numBody=\"0\" "
    "startMid=\"0\" numMid=\"9999\"><sortKey>date</sortKey><sortOrder>down</sortOrder><filterBy></filterBy><fid>Inbox</"
    "fid><transform-markup>remove-javascript</transform-markup></m:ListMessages></SOAP-ENV:Body>";
constexpr std::string_view kMoveMessages =
    "<SOAP-ENV:Body><m:MoveMessages xmlns:m=\"urn:yahoo:ymws\"><sourceFid>Inbox</sourceFid><destinationFid>Trash</"
    "destinationFid><mid>%mid%</mid></m:MoveMessages></SOAP-ENV:Body>";
constexpr std::string_view kFlagMessages =
    "<SOAP-ENV:Body><m:FlagMessages xmlns:m=\"urn:yahoo:ymws\"><fid>Inbox</fid><mid>%mid%</mid><setFlags read=\"1\"></"
    "setFlags></m:FlagMessages></SOAP-ENV:Body>";
constexpr std::string_view kGetRawHeader =
    "<SOAP-ENV:Body><m:GetMessageRawHeader xmlns:m=\"urn:yahoo:ymws\"><mid>%mid%</mid><fid>Inbox</fid></"
    "m:GetMessageRawHeader></SOAP-ENV:Body>";
constexpr std::string_view kGetMessage =
    "<SOAP-ENV:Body><m:GetMessage xmlns:m=\"urn:yahoo:ymws\"><mid>%mid%</mid><truncateAt>0</truncateAt><fid>Inbox</"
    "fid></m:GetMessage></SOAP-ENV:Body>";

Str dataError() { return NewStr("Error found in ", typeName(), " server data."); }

// One web-service call, its answer read whole and checked for a fault: 0, or -1 (texts
// set, a fault logged; the caller applies the error rule). referer empty: the call's URL.
int callService(webMail& s, std::string_view method, std::string_view element, std::string_view id,
                std::string_view referer = {}) {
    HttpClient& http = client(s);
    Str url = NewStr(View(http_hostUrl(http)), "/ws/mail/v1/soap?m=", method, "&wssid=", View(s.wssid),
                     "&appid=YahooMailRC");
    Str body = NewStr(kEnvelope, element, "</SOAP-ENV:Envelope>\r\n");
    ReplaceAll(body, "%mid%", id);
    http.method = ToStr("POST");
    http.serverName = account().type;
    http.extraHeaders = pageHeaders(referer.empty() ? View(url) : referer, "Keep-Alive");
    if (http_getHdr(http, View(url), View(body), "text/xml") < 0 || http_getData(http, 0) < 0) return -1;
    NullCharRpl(http.body.data(), http.body.size());
    Str detail;
    if (yahoo::FaultText(View(http.body), detail)) return pageError(s, View(serverError()), View(detail));
    return 0;
}

// Moves a message to the trash: its key "D" first, "X" once the service took it.
int DelMsg(webMail& s, std::string_view id) {
    DebugTag tag("Yahoo.DelMsgBeta.enter");
    mailIndex& ix = *mt_globals.mailIndex;
    std::string_view key = yahoo::YahooMsgIDBeta(id);
    MarkAcct(ix, key, "D");
    if (callService(s, "MoveMessages", kMoveMessages, id) < 0) return -1;
    MarkAcct(ix, key, "X");
    return 0;
}

int MarkMsg(webMail& s, std::string_view id) {
    DebugTag tag("Yahoo.MarkMsgBeta.enter");
    return callService(s, "FlagMessages", kFlagMessages, id);
}

const MailboxClient& yahooClient();

class Login : public PageWalk {
public:
    using PageWalk::PageWalk;
    int run();

private:
    int loginError(std::string_view fallback) {
        return fail(View(yahoo::LoginErrorText(View(http_.url), View(http_.body), fallback)));
    }
    int list();
};

int Login::run() {
    const AccountRow& row = account();
    const char* type = typeName();
    updateStatus(View(row.addr), View(NewStr("Connecting to ", View(row.type), " Server")));
    debugLog("Connecting to %s server", type);
    debugLog("%s Login (1)", type);
    http_.serverName = row.type;
    http_authInit(http_, View(GetPassWord(0)));
    if (request("GET", View(globals.yahooStartUrl), "") < 0) return -1;

    debugLog("%s Login (2)", type);
    for (long from = 1;;) {
        webFormInit(s_);
        s_.formPos = from;
        webFormParse(s_, page());
        if (s_.formPos == 0) return fail("Login sequence (2) error - login form not found.");
        bool signIn = false;
        if (!s_.formAction.empty()) {
            for (size_t i = 0; i < s_.formNames.size(); ++i) {
                if (strcmpi(View(s_.formNames[i]), "login") == 0) {
                    s_.formValues[i] = row.addr;
                    signIn = true;
                } else if (strcmpi(View(s_.formNames[i]), "passwd") == 0) {
                    s_.formValues[i] = row.pass;
                }
            }
        }
        if (signIn) {
            Str form = webFormParmStr(s_);
            debugLog("YahooMail.openAccount login part 2 postData: %s", http_maskSecrets(View(form)).c_str());
            Str action = s_.formAction;
            if (request("POST", View(action), View(form)) < 0) return -1;
            break;
        }
        debugLog("YahooMail.openAccount login part 2 - non-login form found, retrying");
        from = s_.formPos + s_.formLen;
    }

    debugLog("%s Login (3)", type);
    if (!InStr(1, page(), "/launch?.")) return loginError("Check the account information in the Preferences dialog.");
    debugLog("%s Login (3)", type);
    Str launch = webFormParseUrl(InStr(1, page(), "/launch?"), page(), "\"", "\"");
    debugLog("YahooMail.openAccountBeta login part 3 url: %s", launch.c_str());
    if (launch.empty()) return fail("Login sequence (3) error - login URL not found.");
    if (request("GET", View(launch), "") < 0) return -1;
    s_.logoutUrl = NewStr("https://", View(globals.yahooLoginHost), "/config/login?logout=1&.done=",
                          View(globals.yahooStartUrl), "&.src=ym");

    if (InStr(1, View(http_.url), "/ytoolbar")) {
        debugLog("%s Login (4)", type);
        Str toolbar =
            NewStr(View(http_hostUrl(http_)), "/ytoolbar/configserver/ext/mail_interstitial/mail_act.php?mpref=2");
        if (request("GET", View(toolbar), "") < 0) return -1;
        debugLog("YahooMail.openAccountBeta login part 4 Toolbar page skipped");
    }

    debugLog("%s Login (5)", type);
    s_.wssid = getKwdVal("'wssid'", ":", "", " ,", page());
    if (s_.wssid.empty()) s_.wssid = getKwdVal("\"wssid\"", ":", " ,", " ,", page());
    EscapeText_decode(s_.wssid);
    debugLog("YahooMail.openAccountBeta login part 5 wssid: %s", s_.wssid.c_str());
    if (s_.wssid.empty()) return loginError("Login sequence (5) error - wssid value not found.");
    return list();
}

int Login::list() {
    mailIndex& ix = *mt_globals.mailIndex;
    updateStatus(View(acctAddr()), "Getting mail list");
    Str().swap(s_.msgList);
    s_.newCount = 0;
    Str cleanup;
    if (callService(s_, "ListMessages", kListMessages, "", View(previous_)) < 0) return HttpError(s_);
    std::string_view answer = page();
    if (!InStr(1, answer, "<ListMessagesResponse ")) {
        pageError(s_, View(dataError()), "Message directory list data not found.");
        return HttpError(s_);
    }
    for (long at = 1; (at = InStr(at, answer, "<mid>"));) {
        long end = InStr(at, answer, "</mid>");
        if (!end) {
            ShowAlert("Note", View(NewStr("Error found in ", typeName(), " message list.")),
                      "Some messages may not be forwarded.");
            break;
        }
        std::string_view id = answer.substr(static_cast<size_t>(at - 1) + 5, static_cast<size_t>(end - at - 5));
        at = end + 6;
        std::string_view key = yahoo::YahooMsgIDBeta(id);
        Str traced = ToStr(id), tracedKey = ToStr(key);
        debugLog("YahooMail.openAccountBeta  currMsg: %s   msgID: %s", traced.c_str(), tracedKey.c_str());
        if (!usableId(id) || !usableId(key)) {
            ShowAlert("Note", View(NewStr("Error found in ", typeName(), " message list.")),
                      "Some messages may not be forwarded.");
            continue;
        }
        ListedMessage(s_, ix, key, id, cleanup, true);
    }
    mt_globals.indexChanged = 1;
    return CleanUp(s_, View(cleanup), yahooClient());
}

// A message: its raw header block and its parts are fetched first, so the header block
// can say how the parts are sent; then the relay takes the steps one by one.
int openMessage(webMail& s, std::string_view id) {
    HttpClient& http = client(s);
    s.messageId = ToStr(id);
    s.segments.clear();
    s.segment = 0;
    s.segmentPhase = 0;
    if (callService(s, "GetMessageRawHeader", kGetRawHeader, id) < 0) return -1;
    long open = InStr(1, View(http.body), "<rawheaders>");
    long close = open ? InStr(open, View(http.body), "</rawheaders>") : 0;
    if (!close || close == open + 12) {
        return pageError(s, View(NewStr("Error found in ", View(acctAddr()), " server data.")),
                         "Message header data not found.");
    }
    Str header = ToStr(View(http.body).substr(static_cast<size_t>(open - 1) + 12, static_cast<size_t>(close - open - 12)));
    HTMLText_decode(header);
    header = yahoo::crlfLines(View(header));
    if (strncmpi(View(header), "From ", 5) == 0) {
        size_t eol = header.find("\r\n");
        header.erase(0, eol == Str::npos ? header.size() : eol + 2);
    }
    if (!header.ends_with("\r\n")) header.append("\r\n");
    header.append("\r\n");

    if (callService(s, "GetMessage", kGetMessage, id) < 0) return -1;
    yahoo::MimeSegments parts;
    yahoo::TopLabel top;
    if (const char* failure = yahoo::BuildParts(View(http.body), parts, top)) return pageError(s, View(dataError()), failure);
    if (!top.encoding.empty()) header = yahoo::LabelHeaderBlock(View(header), View(top.charset), View(top.encoding));
    s.segments.push_back(yahoo::MimeSegment{std::move(header), Str(), true});
    for (auto& part : parts) s.segments.push_back(std::move(part));
    return 0;
}

void restoreHost(webMail& s) {
    HttpClient& http = client(s);
    http.hostName = s.mailHost;
    http.connectPort = s.mailPort;
    http.useTLS = s.mailTLS;
    http.acceptEarlyClose = 0;
}

// Starts an attachment's download; -1 with the texts set when it fails.
int startDownload(webMail& s, std::string_view part) {
    HttpClient& http = client(s);
    s.mailHost = http.hostName;
    s.mailPort = http.connectPort;
    s.mailTLS = http.useTLS;
    Str mid = EncodeURLComponent(View(s.messageId));
    Str url = NewStr(View(http_hostUrl(http)), "/ya/download/?fid=Inbox&mid=", View(mid), "&pid=", part,
                     "&tnef=&YY=1154723798517&newid=1&clean=0&inline=1");
    // Downloads may end before their announced length; only downloads are let off.
    http.acceptEarlyClose = 1;
    if (sendRequest(s, "GET", View(url), "", View(pageHeaders(View(url), "Keep-Alive"))) < 0) {
        restoreHost(s);
        return -1;
    }
    if (!InStr(1, View(http.url), View(mid))) {
        http.body.clear();
        pageError(s, View(dataError()), "Message attachment could not be retrieved.");
        restoreHost(s);
        return -1;
    }
    s.base64 = yahoo::Base64Lines();
    return 0;
}

long nextStep(webMail& s, std::string_view& chunk) {
    HttpClient& http = client(s);
    while (s.segment < s.segments.size()) {
        yahoo::MimeSegment& seg = s.segments[s.segment];
        s.sourceText.clear();
        if (s.segmentPhase == 0) {
            s.segmentPhase = 1;
            s.sourceText.swap(seg.text);
        } else if (s.segmentPhase == 1) {
            if (seg.downloadPart.empty()) {
                ++s.segment;
                s.segmentPhase = 0;
                continue;
            }
            if (startDownload(s, View(seg.downloadPart)) < 0) return -1;
            s.segmentPhase = 2;
        } else {
            long n = http_getData(http, 4096);
            if (n < 0) {
                restoreHost(s);
                return -1;
            }
            if (n == 0) {
                // An attachment sent as it is may end without a line end; the delimiter
                // that follows needs its own.
                if (seg.asBase64) s.base64.finish(s.sourceText);
                else s.sourceText.append("\r\n");
                restoreHost(s);
                ++s.segment;
                s.segmentPhase = 0;
            } else if (seg.asBase64) {
                s.base64.feed(View(http.body), s.sourceText);
            } else {
                s.sourceText.swap(http.body);
            }
        }
        if (!s.sourceText.empty()) {
            chunk = View(s.sourceText);
            return static_cast<long>(s.sourceText.size());
        }
    }
    return 0;
}

std::string_view indexKey(std::string_view id) { return yahoo::YahooMsgIDBeta(id); }

const MailboxClient kYahoo = {
    nullptr, 1, nullptr, nullptr, nullptr, openMessage, nextStep, DelMsg, MarkMsg, nullptr, nullptr, HttpError, indexKey,
};

const MailboxClient& yahooClient() { return kYahoo; }

int YahooMail_OpenAccount(webMail& s) { return Login(s).run(); }

int YahooMail_ProcessMsg(webMail& s) {
    debugLog("Processing Yahoo Beta messages");
    return ProcessMailbox(s, kYahoo);
}

int YahooMail_CloseAccount(webMail& s) {
    debugLog("Closing account");
    if (s.logoutUrl.empty()) return 0;
    // The answer does not matter: the session ends either way.
    if (getPage(s, "GET", View(s.logoutUrl), "", View(pageHeaders(View(s.logoutUrl), "Keep-Alive"))) < 0)
        debugLog("Yahoo logout failed: %s", client(s).errorDetail.c_str());
    return 0;
}

} // namespace

void YahooMail_Init(webMail& s) {
    s.OpenAccount = YahooMail_OpenAccount;
    s.ProcessMsg = YahooMail_ProcessMsg;
    s.CloseAccount = YahooMail_CloseAccount;
}
