// The HTTP client's session memory: cookies from Set-Cookie headers, sent back on a
// Cookie line, and one authentication challenge per host, answered with a Basic or
// Digest Authorization line. Cookies have no expiry and match on the domain only.
#pragma once

#include "http.h"

// Starts a new web session: both stores emptied, credentials ("user:password") set.
void http_authInit(HttpClient& http, std::string_view credentials);
// Value of the first cookie named name (any case), or "".
Str http_getCookie(const HttpClient& http, std::string_view name);

// Set-Cookie header value (text after the line's ":"), set by the request's hostName.
void setCookieHeader(HttpClient& http, std::string_view value);
// WWW-Authenticate header value (text after the line's ":"), from the request's hostName.
void wwwAuthenticateHeader(HttpClient& http, std::string_view value);

// Replaces the value of the entry with this name, domain and path (any case), or
// appends a new one.
void updateCookie(HttpClient& http, std::string_view name, std::string_view domain, std::string_view path,
                  std::string_view value);
// "name=value; " for every cookie whose domain ends hostName, in store order.
Str cookieStr(const HttpClient& http);
// Replaces the host's challenge or appends one.
void UpdateAuth(HttpClient& http, std::string_view host, std::string_view scheme, std::string_view realm,
                std::string_view nonce);
// "Authorization: ..." CR LF for the request described by url, method and hostName, or
// "" when that host sent no challenge.
Str authorizationLine(const HttpClient& http);

// A request or response dump (header lines, form body, or a URL) for the error log with
// every credential replaced by "********": Authorization and Proxy-Authorization values
// (the scheme word stays), and the values of name=value pairs (form fields, query
// parameters, cookies) whose name looks like a password or a session or sign-in token.
Str http_maskSecrets(std::string_view dump);
