// HTTP/1.1 client for the web mail services: one GET or POST per connection, plain or
// HTTPS, redirects followed, cookies kept and Basic/Digest challenges answered
// (httpauth.h), the body handed out whole or in pieces with chunked decoding.
//
// Results follow the agent's rule: 0 or a length for success, -1 for a failure whose
// headline (errorText) and explanation (errorDetail) are set and whose connection is
// closed. A stop request closes the connection without new texts.
#pragma once

#include <cstddef>

#include "bsocket.h"
#include "tstr.h"

// Caps that keep a hostile or broken server from exhausting memory; tests shorten them.
struct HttpLimits {
    size_t maxHeader = 64 * 1024;        // response header, status line to blank line
    size_t maxPiece = 16 * 1024 * 1024;  // one http_getData result, a whole page with 0
    size_t maxChunkLine = 4096;          // chunk-size line, or what precedes the CR LF after chunk data
};

struct HttpClient {
    bSocket socket;
    Str connectHost;
    int connectPort = 0;
    int useTLS = 0;
    // Authentication store: one entry per host, same index in each list.
    StrArray authHosts, authSchemes, authRealms, authNonces;
    int chunked = 0;
    int chunkState = 0; // 1 size line, 2 chunk data, 3 CR LF after data, 4 last chunk seen
    int acceptShortBody = 0;  // reset by each successful http_getHdr
    int acceptEarlyClose = 0; // kept across requests
    Str body;                 // the last http_getData piece
    long received = 0;        // body bytes so far; chunked: bytes of the current chunk
    long contentLength = 0;   // 0 when absent; chunked: size of the current chunk
    int contentLengthGiven = 0; // the header named a length (so 0 means an empty body)
    Str contentType;
    // Cookie store: entries identified by name, domain and path; same index in each list.
    StrArray cookieNames, cookieDomains, cookiePaths, cookieValues;
    int endOfStream = 0;
    int retryCount = 0;
    Str errorText;
    Str errorDetail;
    Str requestBody;
    Str url;           // after http_getHdr: the final URL after redirects
    Str receiveBuffer; // received, not yet consumed
    Str credentials;   // user ":" password
    Str headerText;    // status line to the blank line inclusive
    Str status;
    Str method;        // "GET" or "POST", set by the caller
    Str location;      // made absolute
    int bodyComplete = 0;
    Str path;
    Str refreshUrl;
    Str hostName;      // without port
    Str serverName;    // account type name, set by the caller
    Str transferEncoding;
    Str extraHeaders;  // lines set by the caller, each ending CR LF
    Str requestText;   // the request as sent
    HttpLimits limits;

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;
};

Owned<HttpClient> http_construct();

// Sends the request and follows redirects and authentication challenges until a
// response with a 2xx status arrives: 0 with its body waiting on the connection, or -1.
// contentType is sent only with a non-empty requestBody.
int http_getHdr(HttpClient& http, std::string_view url, std::string_view requestBody, std::string_view contentType);
// Body bytes of this piece (in body), 0 once the body has been returned completely, -1
// on failure. maxLength 0 returns the rest of the body; otherwise the call returns as
// soon as the piece holds at least maxLength bytes or the body ends.
long http_getData(HttpClient& http, long maxLength);
void http_closeSocket(HttpClient& http);

// "http://" and the last request's host, with ":port" when that request's port was not
// its scheme's default: the web modules build their URLs on it.
Str http_hostUrl(const HttpClient& http);
// A link taken from a page, made absolute against the URL of that page: a link with a
// scheme is kept, "//host..." takes the page's scheme, "/path" its origin, anything else
// its folder.
Str http_resolveUrl(std::string_view base, std::string_view link);

// Response header parsing: status, the headers the client acts on, cookies and
// challenges. Reads headerText; hostName, connectPort and useTLS describe the request.
void parseHeaders(HttpClient& http);
// Moves what the receive buffer allows through the chunk states into body; returns the
// bytes moved, or -1 when a size line or chunk end runs past its limit.
long http_decodeChunks(HttpClient& http);
