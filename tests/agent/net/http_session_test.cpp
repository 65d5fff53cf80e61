#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "http.h"
#include "httpauth.h"

namespace {

std::string cookiesFor(HttpClient& http, const char* host) {
    http.hostName = ToStr(host);
    return std::string(View(cookieStr(http)));
}

void setCookieFrom(HttpClient& http, const char* host, const char* value) {
    http.hostName = ToStr(host);
    setCookieHeader(http, value);
}

std::string md5Hex(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    size_t len = 0;
    EXPECT_EQ(EVP_Q_digest(nullptr, "MD5", nullptr, text.data(), text.size(), md, &len), 1);
    std::string hex;
    char two[3];
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

// parseHeaders on a header block received for host:port.
void parse(HttpClient& http, const std::string& header, const char* host = "mail.example", int port = 80, int tls = 0) {
    http.hostName = ToStr(host);
    http.connectPort = port;
    http.useTLS = tls;
    http.headerText = ToStr(header);
    parseHeaders(http);
}

} // namespace

TEST(HttpCookies, MatchedOnTheEndOfTheHostName) {
    HttpClient http;
    setCookieFrom(http, "example.com", "plain=1");
    setCookieFrom(http, "login.example.com", " dotted=2 ; Domain=.example.com; expires=Wed, 01 Jan 2020 00:00:00 GMT");
    setCookieFrom(http, "example.com", "token=a=b; secure");
    EXPECT_EQ(cookiesFor(http, "example.com"), "plain=1; token=a=b; ");
    EXPECT_EQ(cookiesFor(http, "MAIL.Example.COM"), "plain=1; dotted=2; token=a=b; ");
    EXPECT_EQ(cookiesFor(http, "notexample.com"), "plain=1; token=a=b; ");
    EXPECT_EQ(cookiesFor(http, "ample.com"), "");
    EXPECT_EQ(cookiesFor(http, "example.org"), "");
    EXPECT_EQ(http.cookieDomains[1], ".example.com");
    EXPECT_EQ(http.cookieValues[2], "a=b");
}

TEST(HttpCookies, IdentifiedByNameDomainAndPath) {
    HttpClient http;
    setCookieFrom(http, "h.example", "sid=one; path=/a");
    setCookieFrom(http, "h.example", "sid=two; path=/b");
    setCookieFrom(http, "h.example", "other=x");
    EXPECT_EQ(cookiesFor(http, "h.example"), "sid=one; sid=two; other=x; ");
    setCookieFrom(http, "h.example", "SID=three; Path=/A");
    EXPECT_EQ(cookiesFor(http, "h.example"), "sid=three; sid=two; other=x; ");
    // A deletion by a past expiry only replaces the value.
    setCookieFrom(http, "h.example", "other=; expires=Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(cookiesFor(http, "h.example"), "sid=three; sid=two; other=; ");
    EXPECT_EQ(http.cookieNames.size(), 3u);

    EXPECT_EQ(http_getCookie(http, "Sid"), "three");
    EXPECT_EQ(http_getCookie(http, "missing"), "");

    http_authInit(http, "u:p");
    UpdateAuth(http, "h.example", "basic", "", "");
    http_authInit(http, "v:q");
    EXPECT_TRUE(http.cookieNames.empty() && http.cookieValues.empty() && http.cookiePaths.empty());
    EXPECT_TRUE(http.authHosts.empty() && http.authNonces.empty());
    EXPECT_EQ(http.credentials, "v:q");
    EXPECT_EQ(cookiesFor(http, "h.example"), "");
}

TEST(HttpCookies, UnsafeAttributesAreNotTaken) {
    HttpClient http;
    // A bare line break would split the Cookie line into a header of the server's choice.
    setCookieFrom(http, "h.example", "evil=1\nX-Injected: yes");
    setCookieFrom(http, "h.example", "evil=1; path=/\rX: y");
    EXPECT_TRUE(http.cookieNames.empty());
    // An empty domain would match every host; it counts as none.
    setCookieFrom(http, "h.example", "c=3; domain=; path=");
    EXPECT_EQ(http.cookieDomains[0], "h.example");
    EXPECT_EQ(http.cookiePaths[0], "/");
    EXPECT_EQ(cookiesFor(http, "elsewhere.test"), "");
}

TEST(HttpAuth, ChallengesAreKeptPerHost) {
    HttpClient http;
    http.hostName = ToStr("a.example");
    wwwAuthenticateHeader(http, " Digest realm=\"r 1\", nonce=\"n1\", qop=\"auth\"");
    http.hostName = ToStr("b.example");
    wwwAuthenticateHeader(http, " Basic");
    ASSERT_EQ(http.authHosts.size(), 2u);
    EXPECT_EQ(http.authSchemes[0], "digest");
    EXPECT_EQ(http.authRealms[0], "\"r 1\"");
    EXPECT_EQ(http.authNonces[0], "\"n1\"");
    EXPECT_EQ(http.authSchemes[1], "basic");
    EXPECT_EQ(http.authRealms[1], " Basic");
    http.hostName = ToStr("A.EXAMPLE");
    wwwAuthenticateHeader(http, "Digest nonce=\"n2\",realm=\"r2\"");
    ASSERT_EQ(http.authHosts.size(), 2u);
    EXPECT_EQ(http.authRealms[0], "\"r2\"");
    EXPECT_EQ(http.authNonces[0], "\"n2\"");
    wwwAuthenticateHeader(http, "Digest realm=\"x\ny\", nonce=\"n3\"");
    EXPECT_EQ(http.authNonces[0], "\"n2\"");
}

TEST(HttpAuth, AuthorizationLines) {
    HttpClient http;
    http_authInit(http, "joe:secret");
    http.method = ToStr("POST");
    http.url = ToStr("HTTP://mail.example/box?id=1");
    http.hostName = ToStr("mail.example");
    EXPECT_EQ(authorizationLine(http), "");
    UpdateAuth(http, "mail.example", "basic", "\"r\"", "\"n\"");
    EXPECT_EQ(authorizationLine(http), "Authorization: Basic am9lOnNlY3JldA==\r\n");

    // An unquoted realm is sent as received but counts as empty in the digest.
    UpdateAuth(http, "MAIL.example", "digest", "plain", "\"abc\"");
    const std::string cnonce = "VGFybndlbGwgY25vbmNl";
    const std::string ha1 = md5Hex("joe::secret");
    const std::string ha2 = md5Hex("POST:mail.example/box?id=1");
    const std::string response = md5Hex(ha1 + ":abc:00000001:" + cnonce + ":auth:" + ha2);
    EXPECT_EQ(View(authorizationLine(http)), "Authorization: Digest username=\"joe\", realm=plain, qop=\"auth\", "
                                       "algorithm=\"MD5\", nc=00000001, cnonce=\"" + cnonce +
                                           "\", nonce=\"abc\", uri=\"mail.example/box?id=1\", response=\"" + response +
                                           "\"\r\n");
}

TEST(HttpHeaders, StatusAndTheHeadersActedOn) {
    HttpClient http;
    parse(http, "HTTP/1.1 302 Found\r\ncontent-LENGTH:  42 \r\nTransfer-Encoding:  Chunked \r\n"
                "Content-Type: text/html; charset=utf-8\r\nRefresh: 0; URL=http://x.example/next?a=1\r\n"
                "a line without colon\r\nSet-Cookie: k=v\r\n\r\nSet-Cookie: after=blank\r\n");
    EXPECT_EQ(http.status, "302");
    EXPECT_EQ(http.contentLength, 42);
    EXPECT_EQ(http.contentLengthGiven, 1);
    EXPECT_EQ(http.transferEncoding, "Chunked");
    EXPECT_EQ(http.contentType, "text/html; charset=utf-8");
    EXPECT_EQ(http.refreshUrl, "http://x.example/next?a=1");
    EXPECT_EQ(http_getCookie(http, "k"), "v");
    EXPECT_EQ(http_getCookie(http, "after"), "");

    HttpClient other;
    parse(other, "HTTP/1.0 200 OK\r\nRefresh: 5\r\nContent-Length: -3\r\n\r\n");
    EXPECT_EQ(other.refreshUrl, "");
    EXPECT_EQ(other.contentLength, 0);
    EXPECT_EQ(other.contentLengthGiven, 0);
}

TEST(HttpHeaders, RelativeLocationsAreMadeAbsolute) {
    struct Case {
        const char* value;
        int port, tls;
        const char* expected;
    } cases[] = {
        {" inbox.aspx?n=1", 80, 0, "http://mail.example/inbox.aspx?n=1"},
        {"/mail/inbox", 80, 0, "http://mail.example/mail/inbox"},
        {"", 80, 0, "http://mail.example/"},
        // An HTTPS site stays encrypted, and a port other than the default is kept.
        {"inbox", 443, 1, "https://mail.example/inbox"},
        {"/inbox", 8443, 1, "https://mail.example:8443/inbox"},
        {"inbox", 8080, 0, "http://mail.example:8080/inbox"},
        {"https://login.example/a:b", 80, 0, "https://login.example/a:b"},
        {"http://other.example", 443, 1, "http://other.example"},
    };
    for (const Case& c : cases) {
        HttpClient http;
        parse(http, std::string("HTTP/1.1 302 Found\r\nLocation:") + c.value + "\r\n\r\n", "mail.example", c.port, c.tls);
        EXPECT_EQ(http.location, c.expected) << c.value;
    }
}

TEST(HttpChunks, DecodedWhereverTheBytesAreSplit) {
    const std::string wire = "5\r\nhello\r\n1a;name=\"v\"\r\nabcdefghijklmnopqrstuvwxyz\r\n 3 \r\n123\r\n0\r\n\r\n";
    const std::string expected = "helloabcdefghijklmnopqrstuvwxyz123";
    auto fresh = [] {
        Owned<HttpClient> http = http_construct();
        http->chunked = 1;
        http->chunkState = 1;
        return http;
    };
    for (size_t split = 0; split <= wire.size(); ++split) {
        Owned<HttpClient> http = fresh();
        http->receiveBuffer = ToStr(std::string_view(wire).substr(0, split));
        long first = http_decodeChunks(*http);
        http->receiveBuffer.append(std::string_view(wire).substr(split));
        long second = http_decodeChunks(*http);
        EXPECT_EQ(View(http->body), expected) << "split at " << split;
        EXPECT_EQ(first + second, static_cast<long>(expected.size()));
        EXPECT_EQ(http->chunkState, 4);
    }
    Owned<HttpClient> http = fresh();
    for (char c : wire) {
        http->receiveBuffer.push_back(c);
        ASSERT_GE(http_decodeChunks(*http), 0);
    }
    EXPECT_EQ(View(http->body), expected);

    // A size line that never ends is refused rather than buffered without end.
    http = fresh();
    http->receiveBuffer = ToStr(std::string(5000, '1'));
    EXPECT_EQ(http_decodeChunks(*http), -1);
}
