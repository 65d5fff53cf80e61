#include "httpauth.h"

#include <algorithm>

#include "base64.h"

namespace {

// The Digest client nonce; servers do not check it, so one constant serves every request.
constexpr std::string_view kCnoncePhrase = "Tarnwell cnonce";
static_assert(kCnoncePhrase.size() == 15);

// Header lines are cut at CR LF only, so a value can still carry a bare CR or LF; such
// a value would split the Cookie or Authorization line it is copied into.
bool breaksLine(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

Str trimmed(std::string_view s) {
    Str t = ToStr(s);
    return Trim(t);
}

// The text after the first key (any case) up to the next ",", or the value up to its
// first "," when the key is absent.
Str challengeParam(std::string_view value, std::string_view key) {
    long at = InStr(1, value, key);
    std::string_view rest = at > 0 ? value.substr(static_cast<size_t>(at - 1) + key.size()) : value;
    return ToStr(rest.substr(0, rest.find(',')));
}

// The text between the first two double quotes; "" when there are not two.
std::string_view quoted(std::string_view s) {
    size_t open = s.find('"');
    if (open == std::string_view::npos) return {};
    size_t close = s.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return s.substr(open + 1, close - open - 1);
}

long findHost(const StrArray& hosts, std::string_view host) {
    for (size_t i = 0; i < hosts.size(); ++i)
        if (strcmpi(View(hosts[i]), host) == 0) return static_cast<long>(i);
    return -1;
}

} // namespace

void http_authInit(HttpClient& http, std::string_view credentials) {
    http.cookieNames.clear();
    http.cookieDomains.clear();
    http.cookiePaths.clear();
    http.cookieValues.clear();
    http.authHosts.clear();
    http.authSchemes.clear();
    http.authRealms.clear();
    http.authNonces.clear();
    http.credentials = ToStr(credentials);
}

Str http_getCookie(const HttpClient& http, std::string_view name) {
    for (size_t i = 0; i < http.cookieNames.size(); ++i)
        if (strcmpi(View(http.cookieNames[i]), name) == 0) return http.cookieValues[i];
    return Str();
}

void setCookieHeader(HttpClient& http, std::string_view value) {
    Str name, cookieValue, domain, path;
    bool first = true;
    size_t from = 0;
    while (from <= value.size()) {
        size_t end = value.find(';', from);
        if (end == std::string_view::npos) end = value.size();
        Str field = trimmed(value.substr(from, end - from));
        from = end + 1;
        if (first) {
            first = false;
            size_t eq = field.find('=');
            name = field.substr(0, eq);
            if (eq != Str::npos) cookieValue = field.substr(eq + 1);
        } else if (strncmpi(View(field), "domain=", 7) == 0) {
            domain = trimmed(View(field).substr(7));
        } else if (strncmpi(View(field), "path=", 5) == 0) {
            path = trimmed(View(field).substr(5));
        }
    }
    if (breaksLine(View(name)) || breaksLine(View(cookieValue)) || breaksLine(View(domain)) || breaksLine(View(path))) {
        debugLog("HttpSocket.setCookie ignored: line break in cookie");
        return;
    }
    // An empty domain attribute would match every host; it counts as none, like an
    // empty path.
    if (domain.empty()) domain = http.hostName;
    if (path.empty()) path = ToStr("/");
    updateCookie(http, View(name), View(domain), View(path), View(cookieValue));
}

void updateCookie(HttpClient& http, std::string_view name, std::string_view domain, std::string_view path,
                  std::string_view value) {
    debug_tag = "HttpSocket.updateCookie";
    for (size_t i = 0; i < http.cookieNames.size(); ++i) {
        if (strcmpi(View(http.cookieNames[i]), name) == 0 && strcmpi(View(http.cookieDomains[i]), domain) == 0 &&
            strcmpi(View(http.cookiePaths[i]), path) == 0) {
            http.cookieValues[i] = ToStr(value);
            return;
        }
    }
    ArrayAppend(http.cookieNames, name);
    ArrayAppend(http.cookieDomains, domain);
    ArrayAppend(http.cookiePaths, path);
    ArrayAppend(http.cookieValues, value);
    debug_tag = "HttpSocket.updateCookie.exit";
}

Str cookieStr(const HttpClient& http) {
    debug_tag = "HttpSocket.cookieStr";
    std::string_view host = View(http.hostName);
    Str text;
    for (size_t i = 0; i < http.cookieNames.size(); ++i) {
        std::string_view domain = View(http.cookieDomains[i]);
        if (domain.size() > host.size() || strcmpi(host.substr(host.size() - domain.size()), domain) != 0) continue;
        text.append(View(http.cookieNames[i])).append("=").append(View(http.cookieValues[i])).append("; ");
    }
    debug_tag = "HttpSocket.cookieStr.Exit";
    return text;
}

void wwwAuthenticateHeader(HttpClient& http, std::string_view value) {
    Str realm = challengeParam(value, "realm=");
    Str scheme = trimmed(value);
    scheme = NthField(View(scheme), " ", 1);
    LowerCase(scheme);
    Str nonce = challengeParam(value, "nonce=");
    if (breaksLine(View(realm)) || breaksLine(View(nonce))) {
        debugLog("HttpSocket.wwwAuthenticate ignored: line break in challenge");
        return;
    }
    UpdateAuth(http, View(http.hostName), View(scheme), View(realm), View(nonce));
}

void UpdateAuth(HttpClient& http, std::string_view host, std::string_view scheme, std::string_view realm,
                std::string_view nonce) {
    long i = findHost(http.authHosts, host);
    if (i >= 0) {
        ArrayReplace(http.authSchemes, scheme, i);
        ArrayReplace(http.authRealms, realm, i);
        ArrayReplace(http.authNonces, nonce, i);
        return;
    }
    ArrayAppend(http.authHosts, host);
    ArrayAppend(http.authSchemes, scheme);
    ArrayAppend(http.authRealms, realm);
    ArrayAppend(http.authNonces, nonce);
}

Str authorizationLine(const HttpClient& http) {
    long i = findHost(http.authHosts, View(http.hostName));
    if (i < 0) return Str();
    size_t at = static_cast<size_t>(i);
    if (http.authSchemes[at] != "digest")
        return NewStr("Authorization: Basic ", View(Base64_Encode(View(http.credentials))), "\r\n");

    Str user = NthField(View(http.credentials), ":", 1);
    Str password = NthField(View(http.credentials), ":", 2);
    const Str& realm = http.authRealms[at];
    const Str& nonce = http.authNonces[at];
    std::string_view uri = View(http.url);
    if (strncmpi(uri, "http://", 7) == 0) uri.remove_prefix(7);
    else if (strncmpi(uri, "https://", 8) == 0) uri.remove_prefix(8);
    Str cnonce = Base64_Encode(kCnoncePhrase);
    Str ha1 = uMD5(View(NewStr(View(user), ":", quoted(View(realm)), ":", View(password))));
    Str ha2 = uMD5(View(NewStr(View(http.method), ":", uri)));
    Str response = uMD5(View(NewStr(View(ha1), ":", quoted(View(nonce)), ":00000001:", View(cnonce), ":auth:", View(ha2))));
    return NewStr("Authorization: Digest username=\"", View(user), "\", realm=", View(realm),
                  ", qop=\"auth\", algorithm=\"MD5\", nc=00000001, cnonce=\"", View(cnonce), "\", nonce=", View(nonce),
                  ", uri=\"", uri, "\", response=\"", View(response), "\"\r\n");
}

namespace {

constexpr std::string_view kMask = "********";

// Names of form fields and cookies that carry a password, a session or a sign-in token.
bool secretName(std::string_view name) {
    for (std::string_view part : {"pass", "pwd", "sess", "auth", "token", "login", "msp"})
        if (InStr(1, name, part) > 0) return true;
    for (std::string_view whole : {"mt", "t", "y", "sid"})
        if (strcmpi(name, whole) == 0) return true;
    return false;
}

bool endsValue(char c) { return c == '&' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool endsName(char c) { return endsValue(c) || c == '?' || c == ':' || c == ','; }

// line with the values of its secret name=value pairs masked, appended to out.
void maskPairs(std::string_view line, Str& out) {
    size_t copied = 0;
    for (size_t eq = line.find('='); eq != std::string_view::npos; eq = line.find('=', eq + 1)) {
        size_t start = eq;
        while (start > copied && !endsName(line[start - 1])) --start;
        size_t end = eq + 1;
        while (end < line.size() && !endsValue(line[end])) ++end;
        if (start == eq || end == eq + 1 || !secretName(line.substr(start, eq - start))) continue;
        out.append(line.substr(copied, eq + 1 - copied)).append(kMask);
        copied = end;
        eq = end - 1;
    }
    out.append(line.substr(copied));
}

} // namespace

Str http_maskSecrets(std::string_view dump) {
    Str out;
    out.reserve(dump.size());
    while (!dump.empty()) {
        size_t lf = dump.find('\n');
        std::string_view line = dump.substr(0, lf == std::string_view::npos ? lf : lf + 1);
        dump.remove_prefix(line.size());
        size_t colon = line.find(':');
        std::string_view name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
        if (strcmpi(name, "Authorization") != 0 && strcmpi(name, "Proxy-Authorization") != 0) {
            maskPairs(line, out);
            continue;
        }
        size_t valueEnd = line.find_first_of("\r\n");
        if (valueEnd == std::string_view::npos) valueEnd = line.size();
        size_t value = line.find_first_not_of(" \t", colon + 1);
        size_t schemeEnd = value < valueEnd ? line.find(' ', value) : std::string_view::npos;
        size_t keep = schemeEnd < valueEnd ? schemeEnd + 1 : std::min(value, valueEnd);
        out.append(line.substr(0, keep)).append(kMask).append(line.substr(valueEnd));
    }
    return out;
}
