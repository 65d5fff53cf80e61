#include "webmail.h"

#include "base64.h"
#include "globals.h"
#include "http.h"
#include "httpauth.h"
#include "log.h"
#include "rundriver.h"
#include "texthelpers.h"

namespace {

bool inSet(char c, std::string_view set) { return InStr(1, set, std::string_view(&c, 1)) > 0; }

// Text of an attribute whose delimiter is the character right after "key=", found at
// or after from (1-based) in tag; sets end to the position after the closing delimiter.
bool attribute(std::string_view tag, std::string_view key, long from, Str& value, long& end) {
    long at = InStr(from, tag, key);
    if (at == 0) return false;
    size_t delimPos = static_cast<size_t>(at - 1) + key.size();
    if (delimPos >= tag.size()) return false;
    char delim = tag[delimPos];
    size_t close = tag.find(delim, delimPos + 1);
    if (close == std::string_view::npos) return false;
    value = ToStr(tag.substr(delimPos + 1, close - delimPos - 1));
    end = static_cast<long>(close) + 2;
    return true;
}

} // namespace

Owned<webMail> webMail_construct() {
    DebugTag tag("WebMail Constructor");
    return makeTracked<webMail>();
}

void webFormInit(webMail& session) {
    session.formPos = 1;
    session.formLen = 0;
    session.formAction.clear();
    session.formNames.clear();
    session.formValues.clear();
}

void webFormParse(webMail& session, std::string_view page) {
    DebugTag tag("WebMail.webFormParse");
    long start = InStr(session.formPos, page, "<form");
    long close = start ? InStr(start, page, "</form") : 0;
    long gt = close ? InStr(close, page, ">") : 0;
    if (!gt) {
        session.formPos = 0;
        return;
    }
    session.formPos = start;
    session.formLen = gt - start + 1;
    std::string_view form = page.substr(static_cast<size_t>(start - 1), static_cast<size_t>(session.formLen));
    Str formText = ToStr(form);
    debugLog("WebMail.webFormParse Form: %s", formText.c_str());

    session.formAction.clear();
    long action = InStr(1, form, "action=");
    if (action && static_cast<size_t>(action - 1 + 7) < form.size()) {
        char delim = form[static_cast<size_t>(action - 1 + 7)];
        std::string_view set(&delim, 1);
        session.formAction = webFormParseUrl(action + 8, form, set, set);
    }
    debugLog("WebMail.webFormParse Action URL: %s", session.formAction.c_str());

    session.formNames.clear();
    session.formValues.clear();
    long from = 1;
    while (true) {
        long open = InStr(from, form, "<input");
        long end = open ? InStr(open, form, ">") : 0;
        if (!end) return;
        std::string_view inputTag = form.substr(static_cast<size_t>(open - 1), static_cast<size_t>(end - open + 1));
        from = end + 1;
        Str name, value;
        long afterName = 0, afterValue = 0;
        if (!attribute(inputTag, "name=", 1, name, afterName)) return;
        if (InStr(afterName, inputTag, "value=") && !attribute(inputTag, "value=", afterName, value, afterValue)) return;
        if (!name.empty()) {
            session.formNames.push_back(std::move(name));
            session.formValues.push_back(std::move(value));
        }
    }
}

Str webFormParmStr(const webMail& session) {
    Str out;
    for (size_t i = 0; i < session.formNames.size(); ++i) {
        if (i) out += '&';
        out += session.formNames[i];
        out += '=';
        out += EncodeURLComponent(View(session.formValues[i]));
    }
    return out;
}

Str webFormParseUrl(long position, std::string_view text, std::string_view leftSet, std::string_view rightSet) {
    if (position < 1 || static_cast<size_t>(position) > text.size()) return Str();
    size_t pos = static_cast<size_t>(position - 1);
    size_t left = pos;
    while (true) {
        if (inSet(text[left], leftSet)) break;
        if (left == 0) return Str();
        --left;
    }
    size_t right = pos + 1;
    while (right < text.size() && !inSet(text[right], rightSet)) ++right;
    if (right >= text.size()) return Str();
    return ToStr(text.substr(left + 1, right - left - 1));
}

int HttpError(webMail& session) {
    HttpClient& http = *session.httpSocket;
    return ErrorRule(View(http.errorText), View(http.errorDetail));
}

void LogWebmailError(webMail& session) {
    const HttpClient& http = *session.httpSocket;
    static const AccountRow none;
    const AccountRow& row = globals.current ? *globals.current : none;
    const char* masked = "********";
    Str smtpLogin = NthField(View(globals.smtpLogin), ":", 1);
    if (!globals.smtpLogin.empty()) AppendStr(AppendStr(smtpLogin, ":"), masked);
    Str settings = NewStr("{", View(row.addr), ":", View(row.user), ":", row.pass.empty() ? "" : masked, ":",
                          View(row.pop), ":", View(row.fwd), ":", View(row.leave), ":", View(row.secure), ":",
                          View(row.type), "} {", View(globals.smtpHost), ":", globals.smtpSecure ? "-1" : "0", ":",
                          View(globals.smtpAuth), ":", View(smtpLogin), ":", globals.smtpVfy ? "-1" : "0", ":",
                          View(globals.smtpFrom), "} {", View(globals.dftFwd), "} {", View(globals.autoFwd), ":",
                          View(globals.autoTime), "}");
    Str encoded = Base64_Encode(View(settings));
    errorLog("---------- %s ----------\n%s\n%s\n%s\n------------------------\nReq:\n%s\nRcv:\n%s\n%s%s",
             acctAddr().c_str(), http.errorText.c_str(), http.errorDetail.c_str(), encoded.c_str(),
             http_maskSecrets(View(http.requestText)).c_str(), http_maskSecrets(View(http.url)).c_str(),
             http_maskSecrets(View(http.headerText)).c_str(), http.body.c_str());
}
