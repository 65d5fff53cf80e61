#include "web_requests.h"

#include "log.h"

namespace web {

const AccountRow& account() { return *globals.current; }

HttpClient& client(webMail& s) { return *s.httpSocket; }
const char* typeName() { return account().type.c_str(); }

Str loginFailed() { return NewStr("Login failed for account ", View(acctAddr()), "."); }
Str serverError() { return NewStr(View(account().type), " server returned an error."); }

int pageError(webMail& s, std::string_view text, std::string_view detail) {
    HttpClient& http = client(s);
    http_closeSocket(http);
    http.errorText = ToStr(text);
    http.errorDetail = ToStr(detail);
    LogWebmailError(s);
    return -1;
}

int sendRequest(webMail& s, const char* method, std::string_view url, std::string_view body, std::string_view headers) {
    HttpClient& http = client(s);
    http.method = ToStr(method);
    http.serverName = account().type;
    http.extraHeaders = ToStr(headers);
    return http_getHdr(http, url, body, body.empty() ? "text/xml" : "application/x-www-form-urlencoded");
}

Str pageHeaders(std::string_view referer, std::string_view connection) {
    Str lines = referer.empty() ? Str() : NewStr("Referer: ", referer, "\r\n");
    return AppendStr(lines, View(NewStr("Accept: */*\r\nConnection: ", connection, "\r\n")));
}

int getPage(webMail& s, const char* method, std::string_view url, std::string_view body, std::string_view headers) {
    if (sendRequest(s, method, url, body, headers) < 0) return -1;
    return http_getData(client(s), 0) < 0 ? -1 : 0;
}

bool usableId(std::string_view id) {
    return !id.empty() && id.find_first_of(std::string_view("\r\n\t\0", 4)) == std::string_view::npos;
}

int PageWalk::request(const char* method, std::string_view link, std::string_view body) {
    Str url = previous_.empty() ? ToStr(link) : http_resolveUrl(View(http_.url), link);
    if (getPage(s_, method, View(url), body, View(pageHeaders(View(previous_), "Keep-Alive"))) < 0) return HttpError(s_);
    previous_ = url;
    return 0;
}

int PageWalk::fail(std::string_view detail) {
    pageError(s_, View(loginFailed()), detail);
    return HttpError(s_);
}

} // namespace web
