#include "http.h"

#include <algorithm>
#include <climits>

#include "globals.h"
#include "httpauth.h"
#include "log.h"

namespace {

constexpr const char* kDashes = "--------------------";
constexpr int kMaxRedirects = 7;
// Interim (1xx) answers skipped before the final one; more makes the response invalid.
constexpr int kMaxInterim = 5;

bool breaksLine(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

Str trimmed(std::string_view s) {
    Str t = ToStr(s);
    return Trim(t);
}

// Leading blanks, an optional sign and decimal digits, saturating; false without digits.
bool parseDecimal(std::string_view s, long& value) {
    size_t i = s.find_first_not_of(" \t");
    if (i == std::string_view::npos) return false;
    bool negative = s[i] == '-';
    if (s[i] == '-' || s[i] == '+') ++i;
    bool any = false;
    value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        any = true;
        value = value > (LONG_MAX - 9) / 10 ? LONG_MAX : value * 10 + (s[i] - '0');
    }
    if (negative) value = -value;
    return any;
}

// Hex digits up to the first other character (so chunk extensions are ignored), saturating.
long parseHex(std::string_view s) {
    long value = 0;
    for (char c : s) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) break;
        value = value > (LONG_MAX >> 4) ? LONG_MAX : value * 16 + digit;
    }
    return value;
}

int defaultPort(int useTLS) { return useTLS ? 443 : 80; }

void setError(HttpClient& http, std::string_view text, std::string_view detail) {
    http.errorText = ToStr(text);
    http.errorDetail = ToStr(detail);
}

void communicationError(HttpClient& http, std::string_view detail) {
    setError(http, View(NewStr("An error occurred while communicating with the ", View(http.serverName), " server.")),
             detail);
}

void copySocketError(HttpClient& http) {
    http.errorText = http.socket.errorText;
    http.errorDetail = http.socket.errorDetail;
}

std::string_view firstLine(const Str& text) { return View(text).substr(0, text.find("\r\n")); }

void clearResponse(HttpClient& http) {
    http.contentLength = 0;
    http.contentLengthGiven = 0;
    http.contentType.clear();
    http.headerText.clear();
    http.status.clear();
    http.location.clear();
    http.refreshUrl.clear();
    http.transferEncoding.clear();
}

// Location values without a scheme are made absolute on the request's own origin, so
// a redirect inside an HTTPS site stays encrypted and on the site's port.
void setLocation(HttpClient& http, std::string_view value) {
    Str loc = trimmed(value);
    debugLog("Location: %s", loc.c_str());
    if (View(loc).substr(0, loc.find('/')).find(':') == std::string_view::npos) {
        if (loc.empty() || loc[0] != '/') loc.insert(0, "/");
        Str origin = NewStr(http.useTLS ? "https://" : "http://", View(http.hostName));
        if (http.connectPort != defaultPort(http.useTLS)) origin.append(":").append(ToStr(std::to_string(http.connectPort)));
        loc.insert(0, origin);
        debugLog("Location fixed: %s", loc.c_str());
    }
    http.location = loc;
}

void splitUrl(HttpClient& http, int& port) {
    std::string_view rest = View(http.url);
    if (strncmpi(rest, "http://", 7) == 0) {
        rest.remove_prefix(7);
        http.useTLS = 0;
    } else if (strncmpi(rest, "https://", 8) == 0) {
        rest.remove_prefix(8);
        http.useTLS = 1;
    }
    size_t slash = rest.find('/');
    std::string_view hostPart = rest.substr(0, slash);
    http.path = slash == std::string_view::npos ? ToStr("/") : ToStr(rest.substr(slash));
    size_t colon = hostPart.find(':');
    port = defaultPort(http.useTLS);
    if (colon != std::string_view::npos) {
        long value = 0;
        parseDecimal(hostPart.substr(colon + 1), value);
        port = value > 0 && value <= 65535 ? static_cast<int>(value) : 0;
        hostPart = hostPart.substr(0, colon);
    }
    http.hostName = ToStr(hostPart);
    debugLog("getUrl: %s", http.url.c_str());
}

// Caller-set header lines must each end in CR LF and hold no other line break, so
// none can end the header early or start a line of its own.
bool headerLinesSafe(std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find("\r\n");
        if (end == std::string_view::npos || end == 0 || breaksLine(text.substr(0, end))) return false;
        text.remove_prefix(end + 2);
    }
    return true;
}

int refuseRequest(HttpClient& http, std::string_view detail) {
    setError(http, View(NewStr("The request cannot be sent to the ", View(http.serverName), " server.")), detail);
    debugLog("http_getHdr request refused: %s", http.errorDetail.c_str());
    bSocket_closeSocket(http.socket);
    return -1;
}

// Builds requestText; -1 (reported) when a part would break the request's lines.
int buildRequest(HttpClient& http, std::string_view contentType, bool& authSent) {
    if (breaksLine(View(http.url)) || breaksLine(View(http.method)))
        return refuseRequest(http, "The web address contains a line break or a NUL character.");
    if (!headerLinesSafe(View(http.extraHeaders)))
        return refuseRequest(http, "A request header line is empty or contains a line break of its own.");
    if (!http.requestBody.empty() && breaksLine(contentType))
        return refuseRequest(http, "The content type contains a line break or a NUL character.");
    Str auth = authorizationLine(http);
    if (!auth.empty() && breaksLine(View(auth).substr(0, auth.size() - 2)))
        return refuseRequest(http, "The user name or password contains a line break. Check the account information "
                                   "in the Preferences dialog.");
    authSent = !auth.empty();
    Str cookies = cookieStr(http);

    Str& r = http.requestText;
    r.clear();
    r.reserve(http.extraHeaders.size() + http.requestBody.size() + cookies.size() + 4096);
    r.append(View(http.method)).append(" ").append(View(http.path)).append(" HTTP/1.1\r\n");
    r.append("User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.0; Trident/4.0)\r\n");
    r.append("Host: ").append(View(http.hostName)).append("\r\n");
    r.append(View(http.extraHeaders));
    r.append(View(auth));
    if (!cookies.empty()) r.append("Cookie: ").append(View(cookies)).append("\r\n");
    if (!http.requestBody.empty()) {
        r.append("content-type: ").append(contentType).append("\r\n");
        r.append("content-length: ").append(ToStr(std::to_string(http.requestBody.size()))).append("\r\n\r\n");
        r.append(View(http.requestBody));
    } else {
        r.append("\r\n");
    }
    return 0;
}

int http_readSocket(HttpClient& http) {
    if (CkStopReq()) {
        bSocket_closeSocket(http.socket);
        return -1;
    }
    long n = bSocket_read(http.socket);
    if (n < 0) {
        copySocketError(http);
        bSocket_closeSocket(http.socket);
        return -1;
    }
    debugLog("http_readData.read complete readLen: %i", static_cast<int>(n));
    if (n == 0)
        http.endOfStream = 1;
    else
        http.receiveBuffer.append(http.socket.ioBuffer.data(), static_cast<size_t>(n));
    debugLog("http_readSocketData bytes returned: %i", static_cast<int>(http.receiveBuffer.size()));
    return 0;
}

int http_writeSocket(HttpClient& http) {
    http.receiveBuffer.clear();
    http.endOfStream = 0;
    debugLog("http_writeSocket.Sending HTTP request\r\n%s\r\n%s\r\n%s", kDashes,
             http_maskSecrets(View(http.requestText)).c_str(), kDashes);
    return bSocket_write(http.socket, View(http.requestText));
}

int invalidResponse(HttpClient& http, std::string_view detail) {
    bSocket_closeSocket(http.socket);
    setError(http, "HTTP host server returned an invalid response:", detail);
    return -1;
}

// Reads and parses the response header, skipping interim (1xx) answers: 1 when a header
// was parsed, 0 when the connection ended before one was complete, -1 on failure.
int readHeader(HttpClient& http) {
    for (int interim = 0;; ++interim) {
        size_t end;
        while ((end = http.receiveBuffer.find("\r\n\r\n")) == Str::npos) {
            if (http.receiveBuffer.size() >= http.limits.maxHeader) break;
            if (http.endOfStream) return 0;
            if (http_readSocket(http) < 0) return -1;
        }
        if (end == Str::npos || end + 4 > http.limits.maxHeader)
            return invalidResponse(http, "The response header is too long.");
        clearResponse(http);
        http.headerText.assign(http.receiveBuffer, 0, end + 4);
        parseHeaders(http);
        http.receiveBuffer.erase(0, end + 4);
        debugLog("http_getHdrs header data\r\n%s\r\n%s\r\n%s", kDashes, http.headerText.c_str(), kDashes);
        if (http.status.empty() || http.status[0] != '1' || interim == kMaxInterim) return 1;
    }
}

} // namespace

HttpClient::HttpClient() {
    receiveBuffer.reserve(8192);
    headerText.reserve(8192);
    body.reserve(8192);
}

HttpClient::~HttpClient() {
    debugLog("httpSocket destructor enter");
    bSocket_closeSocket(socket);
    debugLog("httpSocket destructor exit");
}

Owned<HttpClient> http_construct() { return makeTracked<HttpClient>(); }

void parseHeaders(HttpClient& http) {
    debugLog("HttpSocket.parseHeaders.get htCmd");
    std::string_view text = View(http.headerText);
    size_t eol = text.find("\r\n");
    http.status = NthField(text.substr(0, eol), " ", 2);
    Trim(http.status);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 2);
    while (!text.empty()) {
        eol = text.find("\r\n");
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 2);
        if (line.empty()) break;
        size_t colon = line.find(':');
        Str name = trimmed(line.substr(0, colon));
        LowerCase(name);
        std::string_view value = colon == std::string_view::npos ? line : line.substr(colon + 1);
        if (name == "content-length") {
            long length = 0;
            bool valid = parseDecimal(value, length) && length >= 0;
            http.contentLength = valid ? length : 0;
            http.contentLengthGiven = valid ? 1 : 0;
        } else if (name == "transfer-encoding") {
            http.transferEncoding = trimmed(value);
        } else if (name == "location") {
            setLocation(http, value);
        } else if (name == "content-type") {
            http.contentType = trimmed(value);
        } else if (name == "www-authenticate") {
            wwwAuthenticateHeader(http, value);
        } else if (name == "set-cookie") {
            setCookieHeader(http, value);
        } else if (name == "refresh") {
            long at = InStr(1, value, "url=");
            http.refreshUrl = at > 0 ? ToStr(value.substr(static_cast<size_t>(at - 1) + 4)) : Str();
        }
    }
    debugLog("HttpSocket.parseHeaders.exit");
}

int http_getHdr(HttpClient& http, std::string_view url, std::string_view requestBody, std::string_view contentType) {
    http.url = ToStr(url);
    http.requestBody = ToStr(requestBody);
    // A caller that reads only the head must not check the previous page's body.
    http.body.clear();
    http.retryCount = 0;
    http.useTLS = 0;
    int redirects = 0;
    int unauthorized = 0;
    while (true) {
        clearResponse(http);
        int port = 0;
        splitUrl(http, port);
        bool authSent = false;
        if (buildRequest(http, contentType, authSent) < 0) return -1;
        http.connectHost = http.hostName;
        http.connectPort = port;
        bSocket_initSocket(http.socket, View(http.connectHost), http.connectPort, View(http.serverName), http.useTLS);
        if (bSocket_connectSocket(http.socket) < 0 || http_writeSocket(http) < 0) {
            copySocketError(http);
            bSocket_closeSocket(http.socket);
            return -1;
        }

        int got = readHeader(http);
        if (got < 0) return -1;
        if (got == 0) {
            // The connection ended before a whole header: the request is sent once more;
            // the second time only an error status in a first complete line counts.
            bSocket_closeSocket(http.socket);
            if (http.retryCount == 0) {
                http.retryCount = 1;
                http.status = ToStr("100");
                continue;
            }
            size_t eol = http.receiveBuffer.find("\r\n");
            if (eol != Str::npos) {
                http.headerText.assign(http.receiveBuffer, 0, eol + 2);
                parseHeaders(http);
            }
            if (eol == Str::npos || http.status.empty() || (http.status[0] != '4' && http.status[0] != '5')) {
                communicationError(http, "The server closed the connection twice before its answer was complete.");
                return -1;
            }
        }

        char kind = http.status.empty() ? '\0' : http.status[0];
        if (kind == '2') {
            http.received = 0;
            http.chunked = 0;
            http.acceptShortBody = 0;
            if (strcmpi(View(http.transferEncoding), "chunked") == 0) {
                http.chunked = 1;
                http.chunkState = 1;
            }
            http.bodyComplete = 0;
            return 0;
        }
        bSocket_closeSocket(http.socket);
        if (kind == '3') {
            if (++redirects > kMaxRedirects) {
                setError(http, "HTTP error:", "Too many redirects for specified URL.");
                return -1;
            }
            http.url = http.location;
            if (http.method == "POST") {
                http.method = ToStr("GET");
                http.requestBody.clear();
            }
            unauthorized = 0;
            continue;
        }
        if (http.status == "401") {
            // The challenge parsed from this answer supplies the next request's
            // Authorization line; an answer that already had one means a wrong login.
            ++unauthorized;
            if (authSent || unauthorized > 2) {
                setError(http, View(NewStr("Login failed for account ", View(acctAddr()), ".")),
                         "Check the account information in the Preferences dialog.");
                return -1;
            }
            continue;
        }
        if (kind == '4' || kind == '5') {
            std::string_view line = firstLine(http.headerText);
            size_t blank = line.find(' ');
            setError(http, View(NewStr(View(http.serverName), " server returned an error.")),
                     blank == std::string_view::npos ? line : line.substr(blank + 1));
            return -1;
        }
        return invalidResponse(http, firstLine(http.headerText));
    }
}

long http_decodeChunks(HttpClient& http) {
    Str& buffer = http.receiveBuffer;
    long moved = 0;
    while (true) {
        if (http.chunkState == 1 || http.chunkState == 3) {
            size_t eol = buffer.find("\r\n");
            // Without a line end yet, a last CR may be the first half of it.
            size_t lineSoFar = eol != Str::npos ? eol : buffer.size() - (buffer.ends_with('\r') ? 1 : 0);
            if (lineSoFar > http.limits.maxChunkLine) return -1;
            if (eol == Str::npos) return moved;
            if (http.chunkState == 3) {
                buffer.erase(0, eol + 2);
                http.chunkState = 1;
                continue;
            }
            Str line = trimmed(View(buffer).substr(0, eol));
            http.contentLength = parseHex(View(line));
            debugLog("HttpSocket.http_getData chunk size: %ld  0x%s", http.contentLength, line.c_str());
            if (http.contentLength == 0) {
                http.chunkState = 4;
                return moved;
            }
            http.chunkState = 2;
            http.received = 0;
            buffer.erase(0, eol + 2);
        } else if (http.chunkState == 2) {
            if (buffer.empty()) return moved;
            size_t n = std::min(buffer.size(), static_cast<size_t>(http.contentLength - http.received));
            http.body.append(buffer, 0, n);
            buffer.erase(0, n);
            http.received += static_cast<long>(n);
            moved += static_cast<long>(n);
            if (http.received >= http.contentLength) http.chunkState = 3;
        } else {
            return moved;
        }
    }
}

long http_getData(HttpClient& http, long maxLength) {
    http.body.clear();
    if (http.bodyComplete == 1) return 0;
    long piece = 0;
    while (true) {
        bool complete = false;
        if (!http.chunked) {
            size_t n = http.receiveBuffer.size();
            if (http.contentLength > 0)
                n = std::min(n, static_cast<size_t>(std::max(0L, http.contentLength - http.received)));
            http.body.append(http.receiveBuffer, 0, n);
            http.received += static_cast<long>(n);
            piece += static_cast<long>(n);
            http.receiveBuffer.clear();
            debugLog("http_getData contentSize: %ld  contentLength: %ld", http.received, http.contentLength);
            // A stated length of 0, or a 204, means no body even on a connection kept open.
            complete = (http.contentLength > 0 && http.received >= http.contentLength) ||
                       (http.contentLength == 0 && (http.endOfStream || http.contentLengthGiven || http.status == "204"));
            if (!complete && http.acceptShortBody == 1 && http.endOfStream && http.contentLength > 0 &&
                http.received + 1 >= http.contentLength) {
                http.contentLength = http.received;
                debugLog("uHttpSocket.http_getData Hotmail content-length fix applied");
                complete = true;
            }
        } else {
            long moved = http_decodeChunks(http);
            if (moved < 0) return invalidResponse(http, "The server sent a malformed chunked body.");
            piece += moved;
            complete = http.chunkState == 4;
            if (!complete && http.acceptShortBody == 1 && http.endOfStream && http.chunkState == 1) {
                debugLog("HttpSocket.http_getData missing chunk 0 fix applied");
                complete = true;
            }
        }
        if (http.body.size() > http.limits.maxPiece) {
            bSocket_closeSocket(http.socket);
            communicationError(http, "The page sent by the server is too large.");
            return -1;
        }
        if (complete) {
            bSocket_closeSocket(http.socket);
            http.bodyComplete = 1;
            debugLog("http_getData data len: %ld", piece);
            return piece;
        }
        debugLog("http_getData contentSize: %ld  contentLength: %ld", http.received, http.contentLength);
        if (http.acceptEarlyClose == 1 && http.endOfStream && http.contentLength > 0 && http.received > 0) {
            http.contentLength = http.received;
            bSocket_closeSocket(http.socket);
            http.bodyComplete = 1;
            debugLog("uHttpSocket.http_getData Yahoo content-length fix applied");
            return piece;
        }
        if (http.endOfStream) {
            debugLog("HttpSocket.http_getData Server end of data reached");
            communicationError(http, "End of server data reached.");
            bSocket_closeSocket(http.socket);
            return -1;
        }
        if (maxLength > 0 && piece >= maxLength) {
            debugLog("http_getData data len: %ld", piece);
            return piece;
        }
        if (http_readSocket(http) < 0) return -1;
    }
}

void http_closeSocket(HttpClient& http) { bSocket_closeSocket(http.socket); }

Str http_hostUrl(const HttpClient& http) {
    Str out = NewStr("http://", View(http.hostName));
    if (http.connectPort != defaultPort(http.useTLS)) out.append(":").append(ToStr(std::to_string(http.connectPort)));
    return out;
}

Str http_resolveUrl(std::string_view base, std::string_view link) {
    auto schemeEnd = [](std::string_view u) -> size_t {
        if (strncmpi(u, "http://", 7) == 0) return 7;
        if (strncmpi(u, "https://", 8) == 0) return 8;
        return 0;
    };
    if (schemeEnd(link) > 0) return ToStr(link);
    size_t scheme = schemeEnd(base);
    if (link.starts_with("//")) return NewStr(base.substr(0, scheme - (scheme ? 2 : 0)), link);
    size_t pathStart = std::min(base.find('/', scheme), base.size());
    if (link.starts_with('/')) return NewStr(base.substr(0, pathStart), link);
    std::string_view path = base.substr(pathStart);
    path = path.substr(0, std::min(path.find_first_of("?#"), path.size()));
    size_t slash = path.rfind('/');
    return NewStr(base.substr(0, pathStart), slash == std::string_view::npos ? "/" : path.substr(0, slash + 1), link);
}
