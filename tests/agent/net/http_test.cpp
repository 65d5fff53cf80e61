#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "globals.h"
#include "http.h"
#include "httpauth.h"
#include "scripted_server.h"
#include "testca.h"

namespace {

const std::string kUserAgent = "C: User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.0; Trident/4.0)\n";

// The transcript lines a plain request of ours must match.
std::string expectRequest(const std::string& path, const std::string& host = "localhost",
                          const std::string& moreLines = "", const std::string& method = "GET") {
    return "C: " + method + " " + path + " HTTP/1.1\n" + kUserAgent + "C: Host: " + host + "\n" + moreLines + "C:\n";
}

std::string replaced(std::string text, const std::string& key, const std::string& value) {
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    return text;
}

std::string baseUrl(const ScriptedServer& server, const std::string& host = "localhost") {
    return "https://" + host + ":" + std::to_string(server.port());
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

ScriptedServerOptions tls(bool oneByte = false) {
    ScriptedServerOptions o = ScriptedServerOptions::Tls();
    o.oneByteAtATime = oneByte;
    return o;
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        trustOnly(testCerts().caCert);
        http = http_construct();
        http->socket.limits = {2, 2, 1, 3};
        http->serverName = ToStr("Hotmail");
        http->method = ToStr("GET");
    }
    void TearDown() override { globals.current = nullptr; }

    // The whole body with maxLength 0; "<error>" with the texts on failure.
    std::string page() {
        long n = http_getData(*http, 0);
        if (n < 0) return "<error> " + std::string(View(http->errorDetail));
        return std::string(View(http->body));
    }

    Owned<HttpClient> http;
};

} // namespace

TEST_F(HttpClientTest, SevenRedirectsAreFollowedAcrossHosts) {
    ScriptedServer mail(expectRequest("/final", "127.0.0.1") + "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nok\nCLOSE\n",
                        tls());
    std::string script;
    for (int i = 1; i <= 7; ++i) {
        std::string path = i == 1 ? "/r0" : "/r" + std::to_string(i - 1);
        // Relative values with and without a leading slash, then an absolute one.
        std::string location = i == 7 ? baseUrl(mail, "127.0.0.1") + "/final" : i % 2 ? "r" + std::to_string(i) : "/r" + std::to_string(i);
        script += expectRequest(path) + "S-RAW: HTTP/1.1 30" + std::to_string(i % 2 + 1) + " Moved\\r\\nLocation: " +
                  location + "\\r\\n\\r\\n\nCLOSE\n" + (i < 7 ? "ACCEPT\n" : "");
    }
    ScriptedServer login(script, tls());
    ASSERT_EQ(http_getHdr(*http, baseUrl(login) + "/r0", "", ""), 0) << http->errorDetail;
    EXPECT_EQ(page(), "ok");
    EXPECT_EQ(View(http->url), baseUrl(mail, "127.0.0.1") + "/final");
    EXPECT_EQ(http->hostName, "127.0.0.1");
    EXPECT_EQ(http->status, "200");
    EXPECT_EQ(login.result(), "");
    EXPECT_EQ(mail.result(), "");
    EXPECT_EQ(login.connections(), 7);
}

TEST_F(HttpClientTest, TheEighthRedirectFails) {
    std::string script;
    for (int i = 0; i < 8; ++i)
        script += expectRequest("/hop" + std::to_string(i)) + "S-RAW: HTTP/1.1 302 Found\\r\\nLocation: /hop" +
                  std::to_string(i + 1) + "\\r\\n\\r\\n\nCLOSE\n" + (i < 7 ? "ACCEPT\n" : "");
    ScriptedServer server(script, tls());
    EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/hop0", "", ""), -1);
    EXPECT_EQ(http->errorText, "HTTP error:");
    EXPECT_EQ(http->errorDetail, "Too many redirects for specified URL.");
    EXPECT_EQ(server.result(), "");
    EXPECT_EQ(server.connections(), 8);
    EXPECT_EQ(http->socket.fd, -1);
}

TEST_F(HttpClientTest, PostAnsweredByRedirectContinuesAsGetWithoutBody) {
    ScriptedServer server(fixture("http/post_redirect.txt"), tls());
    http->method = ToStr("POST");
    http->extraHeaders = ToStr("Referer: https://localhost/\r\nAccept: */*\r\n");
    ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/login.srf", "user=a&pass=b\r\n", "application/x-www-form-urlencoded"),
              0)
        << http->errorDetail;
    EXPECT_EQ(http->method, "GET");
    EXPECT_EQ(http->requestBody, "");
    EXPECT_EQ(http->contentType, "text/html");
    EXPECT_EQ(page(), "<html/>");
    EXPECT_EQ(server.result(), "");
}

TEST_F(HttpClientTest, CookiesFollowTheSessionAndGoOnlyWhereTheirDomainMatches) {
    ScriptedServer mail(fixture("http/cookies_mail.txt"), tls());
    ScriptedServer login(replaced(fixture("http/cookies_login.txt"), "{port}", std::to_string(mail.port())), tls());
    http_authInit(*http, "joe:secret");
    ASSERT_EQ(http_getHdr(*http, baseUrl(login) + "/start", "", ""), 0) << http->errorDetail;
    EXPECT_EQ(page(), "inbox");
    EXPECT_EQ(mail.result(), "");

    ASSERT_EQ(http_getHdr(*http, baseUrl(login) + "/again", "", ""), 0) << http->errorDetail;
    // A stated length of 0 ends the body although the server keeps the connection.
    EXPECT_EQ(http_getData(*http, 0), 0);
    EXPECT_EQ(http->bodyComplete, 1);
    EXPECT_EQ(http_getData(*http, 0), 0);
    EXPECT_EQ(login.result(), "");

    EXPECT_EQ(http_getCookie(*http, "S"), "2");
    EXPECT_EQ(http_getCookie(*http, "p"), "x");
    EXPECT_EQ(http_getCookie(*http, "unknown"), "");
    std::vector<std::string> paths(http->cookiePaths.begin(), http->cookiePaths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/", "/a", "/b", "/", "/"}));
}

TEST_F(HttpClientTest, BasicChallengeIsAnsweredOnceThenLoginFails) {
    AccountRow account;
    account.addr = ToStr("joe@example.com");
    globals.current = &account;
    {
        ScriptedServer server(replaced(fixture("http/basic_auth.txt"), "{answer}",
                                       "HTTP/1.1 200 OK\\r\\nContent-Length: 7\\r\\n\\r\\nwelcome"),
                              tls());
        http_authInit(*http, "joe:secret");
        http->extraHeaders = ToStr("Accept: */*\r\n");
        ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/private", "", ""), 0) << http->errorDetail;
        EXPECT_EQ(page(), "welcome");
        EXPECT_EQ(server.result(), "");
    }
    {
        ScriptedServer server(replaced(fixture("http/basic_auth.txt"), "{answer}",
                                       "HTTP/1.1 401 Unauthorized\\r\\nWWW-Authenticate: Basic realm=\"mail\"\\r\\n\\r\\n"),
                              tls());
        http_authInit(*http, "joe:secret");
        http->extraHeaders = ToStr("Accept: */*\r\n");
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/private", "", ""), -1);
        EXPECT_EQ(http->errorText, "Login failed for account joe@example.com.");
        EXPECT_EQ(http->errorDetail, "Check the account information in the Preferences dialog.");
        EXPECT_EQ(server.result(), "");
        EXPECT_EQ(server.connections(), 2);
    }
}

TEST_F(HttpClientTest, DigestAnswerMatchesAnIndependentComputation) {
    const std::string challenge =
        "S-RAW: HTTP/1.1 401 Unauthorized\\r\\nWWW-Authenticate: Digest realm=\"test realm\", "
        "nonce=\"dcd98b7102dd2f0e\", qop=\"auth\", opaque=\"5ccc\"\\r\\nContent-Length: 0\\r\\n\\r\\n\nCLOSE\nACCEPT\n";
    // The answer depends on the server's port, known only once it listens, so the
    // script takes any four lines and the bytes are compared afterwards.
    ScriptedServer server(expectRequest("/dir/index.html?x=1") + challenge + "C: *\nC: *\nC: *\nC: *\nC:\n" +
                              "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nin\nCLOSE\n",
                          tls());
    http_authInit(*http, "joe:secret:ignored");
    const std::string url = baseUrl(server) + "/dir/index.html?x=1";
    ASSERT_EQ(http_getHdr(*http, url, "", ""), 0) << http->errorDetail;
    EXPECT_EQ(page(), "in");
    EXPECT_EQ(server.result(), "");

    const std::string uri = "localhost:" + std::to_string(server.port()) + "/dir/index.html?x=1";
    const std::string cnonce = "VGFybndlbGwgY25vbmNl";
    const std::string ha1 = md5Hex("joe:test realm:secret");
    const std::string ha2 = md5Hex("GET:" + uri);
    const std::string response = md5Hex(ha1 + ":dcd98b7102dd2f0e:00000001:" + cnonce + ":auth:" + ha2);
    const std::string line = "Authorization: Digest username=\"joe\", realm=\"test realm\", qop=\"auth\", "
                             "algorithm=\"MD5\", nc=00000001, cnonce=\"" + cnonce +
                             "\", nonce=\"dcd98b7102dd2f0e\", uri=\"" + uri + "\", response=\"" + response + "\"\r\n";
    const std::string sent = server.clientBytes();
    const std::string first = "GET /dir/index.html?x=1 HTTP/1.1\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; "
                              "Windows NT 6.0; Trident/4.0)\r\nHost: localhost\r\n";
    EXPECT_EQ(sent, first + "\r\n" + first + line + "\r\n");
}

TEST_F(HttpClientTest, RequestIsRepeatedOnceWhenTheServerClosesWithoutAnswer) {
    {
        ScriptedServer server(expectRequest("/") + "CLOSE\nACCEPT\n" + expectRequest("/") +
                                  "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 3\\r\\n\\r\\nyes\nCLOSE\n",
                              tls());
        ASSERT_EQ(http_getHdr(*http, baseUrl(server), "", ""), 0) << http->errorDetail;
        EXPECT_EQ(http->path, "/");
        EXPECT_EQ(http->retryCount, 1);
        EXPECT_EQ(page(), "yes");
        EXPECT_EQ(server.connections(), 2);
    }
    {
        ScriptedServer server(expectRequest("/") + "S-RAW: HTTP/1.1 200 OK\\r\\nConte\nCLOSE\nACCEPT\n" + expectRequest("/") +
                                  "CLOSE\n",
                              tls());
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/", "", ""), -1);
        EXPECT_EQ(http->errorText, "An error occurred while communicating with the Hotmail server.");
        EXPECT_EQ(http->errorDetail, "The server closed the connection twice before its answer was complete.");
        EXPECT_EQ(server.result(), "");
        EXPECT_EQ(server.connections(), 2);
    }
    {
        // The second time a complete error status line still counts.
        ScriptedServer server(expectRequest("/") + "CLOSE\nACCEPT\n" + expectRequest("/") +
                                  "S-RAW: HTTP/1.1 503 Service Unavailable\\r\\nRetry-Af\nCLOSE\n",
                              tls());
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/", "", ""), -1);
        EXPECT_EQ(http->errorText, "Hotmail server returned an error.");
        EXPECT_EQ(http->errorDetail, "503 Service Unavailable");
    }
}

TEST_F(HttpClientTest, StatusesOutsideSuccessAreReported) {
    struct Case {
        std::string response, text, detail;
    } cases[] = {
        {"HTTP/1.1 404 Not Found\\r\\nContent-Length: 0\\r\\n\\r\\n", "Hotmail server returned an error.", "404 Not Found"},
        {"HTTP/1.0 500\\r\\n\\r\\n", "Hotmail server returned an error.", "500"},
        {"HTTP/1.1 600 Odd\\r\\n\\r\\n", "HTTP host server returned an invalid response:", "HTTP/1.1 600 Odd"},
        {"<html>hello</html>\\r\\n\\r\\n", "HTTP host server returned an invalid response:", "<html>hello</html>"},
        // Interim answers are skipped, but not without end.
        {"HTTP/1.1 100 Continue\\r\\n\\r\\nHTTP/1.1 102 A\\r\\n\\r\\nHTTP/1.1 103 B\\r\\n\\r\\nHTTP/1.1 100 C\\r\\n\\r\\n"
         "HTTP/1.1 100 D\\r\\n\\r\\nHTTP/1.1 100 E\\r\\n\\r\\n",
         "HTTP host server returned an invalid response:", "HTTP/1.1 100 E"},
    };
    for (const Case& c : cases) {
        ScriptedServer server(expectRequest("/x") + "S-RAW: " + c.response + "\nSTALL\n", tls());
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/x", "", ""), -1) << c.response;
        EXPECT_EQ(View(http->errorText), c.text) << c.response;
        EXPECT_EQ(View(http->errorDetail), c.detail) << c.response;
        EXPECT_EQ(http->socket.fd, -1);
    }
    ScriptedServer server(expectRequest("/x") +
                              "S-RAW: HTTP/1.1 100 Continue\\r\\n\\r\\nHTTP/1.1 200 OK\\r\\nContent-Length: 4\\r\\n\\r\\nbody\nSTALL\n",
                          tls());
    ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/x", "", ""), 0) << http->errorDetail;
    EXPECT_EQ(page(), "body");
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(HttpClientTest, ChunkedBodyArrivingOneByteAtATime) {
    ScriptedServer server(expectRequest("/c") +
                              "S-RAW: HTTP/1.1 200 OK\\r\\nTransfer-Encoding: Chunked\\r\\n\\r\\n5\\r\\nhello\\r\\n"
                              "1A;name=value\\r\\nabcdefghijklmnopqrstuvwxyz\\r\\n0\\r\\n\\r\\n\nSTALL\n",
                          tls(true));
    ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/c", "", ""), 0) << http->errorDetail;
    EXPECT_EQ(http->chunked, 1);
    EXPECT_EQ(page(), "helloabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(http->chunkState, 4);
    EXPECT_EQ(http->socket.fd, -1);
}

TEST(HttpChunkDecoding, LineLimitDoesNotDependOnWhereTheReadsSplit) {
    // A size line exactly at the limit is accepted whether its CR LF arrives whole or
    // split after the CR; one character more is refused either way.
    for (const std::string& line : {std::string("00000005"), std::string("000000005")}) {
        const bool fits = line.size() <= 8;
        for (size_t split : {line.size() + 1, line.size() + 2}) {
            auto http = http_construct();
            http->limits.maxChunkLine = 8;
            http->chunked = 1;
            http->chunkState = 1;
            const std::string stream = line + "\r\nhello\r\n0\r\n\r\n";
            http->receiveBuffer.append(stream.substr(0, split));
            long first = http_decodeChunks(*http);
            if (!fits) {
                EXPECT_EQ(first, -1) << line << " split " << split;
                continue;
            }
            ASSERT_GE(first, 0) << line << " split " << split;
            http->receiveBuffer.append(stream.substr(split));
            EXPECT_EQ(first + http_decodeChunks(*http), 5) << split;
            EXPECT_EQ(http->body, "hello");
            EXPECT_EQ(http->chunkState, 4);
        }
    }
}

TEST_F(HttpClientTest, ShortBodiesAreAcceptedOnlyWithTheirTolerance) {
    struct Case {
        std::string body;
        int shortBody, earlyClose;
        std::string expected;
    } cases[] = {
        {"Content-Length: 10\\r\\n\\r\\n123456789", 0, 0, "<error> End of server data reached."},
        {"Content-Length: 10\\r\\n\\r\\n123456789", 1, 0, "123456789"},
        {"Content-Length: 10\\r\\n\\r\\n12345", 1, 0, "<error> End of server data reached."},
        {"Content-Length: 10\\r\\n\\r\\n12345", 0, 1, "12345"},
        {"Transfer-Encoding: chunked\\r\\n\\r\\n3\\r\\nabc\\r\\n", 0, 0, "<error> End of server data reached."},
        {"Transfer-Encoding: chunked\\r\\n\\r\\n3\\r\\nabc\\r\\n", 1, 0, "abc"},
        {"Transfer-Encoding: chunked\\r\\n\\r\\n3\\r\\nab", 1, 0, "<error> End of server data reached."},
        {"Transfer-Encoding: chunked\\r\\n\\r\\n3\\r\\nab", 0, 1, "ab"},
    };
    for (const Case& c : cases) {
        ScriptedServer server(expectRequest("/m") + "S-RAW: HTTP/1.1 200 OK\\r\\n" + c.body + "\nCLOSE\n", tls());
        http->acceptEarlyClose = c.earlyClose;
        ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/m", "", ""), 0) << http->errorDetail;
        http->acceptShortBody = c.shortBody;
        EXPECT_EQ(page(), c.expected) << c.body << " short " << c.shortBody << " early " << c.earlyClose;
        if (c.expected.rfind("<error>", 0) == 0) {
            EXPECT_EQ(http->errorText, "An error occurred while communicating with the Hotmail server.");
        }
    }
}

TEST_F(HttpClientTest, BytesBeyondContentLengthAreDropped) {
    ScriptedServer server(expectRequest("/") + "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 5\\r\\n\\r\\nhelloEXTRA\nSTALL\n",
                          tls());
    ASSERT_EQ(http_getHdr(*http, baseUrl(server), "", ""), 0);
    EXPECT_EQ(http_getData(*http, 0), 5);
    EXPECT_EQ(http->body, "hello");
    // A caller that reads only the next answer's head checks that page, not this one.
    ScriptedServer next(expectRequest("/") + "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 0\\r\\n\\r\\n\n", tls());
    ASSERT_EQ(http_getHdr(*http, baseUrl(next), "", ""), 0);
    EXPECT_EQ(http->body, "");
}

TEST_F(HttpClientTest, BodyInPiecesOfAtLeastTheAskedSize) {
    std::string body;
    for (int i = 0; body.size() < 10000; ++i) body += std::to_string(i % 10);
    ScriptedServer server(expectRequest("/msg") + "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: 10000\\r\\n\\r\\n" + body +
                              "\nSTALL\n",
                          tls());
    ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/msg", "", ""), 0);
    std::string got;
    std::vector<long> pieces;
    long n;
    while ((n = http_getData(*http, 4096)) > 0) {
        pieces.push_back(n);
        EXPECT_EQ(http->body.size(), static_cast<size_t>(n));
        got += std::string(View(http->body));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, body);
    ASSERT_GE(pieces.size(), 2u);
    for (size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_GE(pieces[i], 4096) << i;
}

TEST_F(HttpClientTest, LargeBodiesKeepMemoryBounded) {
    std::string big(1 << 20, 'm');
    {
        // Read in pieces, the buffers stay near one piece however long the message.
        ScriptedServer server(expectRequest("/big") + "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Length: " +
                                  std::to_string(big.size()) + "\\r\\n\\r\\n" + big + "\nSTALL\n",
                              tls());
        ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/big", "", ""), 0);
        size_t total = 0;
        long n;
        while ((n = http_getData(*http, 4096)) > 0) {
            total += static_cast<size_t>(n);
            EXPECT_LT(http->body.capacity(), 32768u);
            EXPECT_LT(http->receiveBuffer.capacity(), 32768u);
        }
        EXPECT_EQ(total, big.size());
    }
    {
        // A whole page has a ceiling.
        http->limits.maxPiece = 100000;
        ScriptedServer server(expectRequest("/big") + "S-RAW: HTTP/1.1 200 OK\\r\\nTransfer-Encoding: chunked\\r\\n\\r\\n100000\\r\\n" +
                                  big + "\nSTALL\n",
                              tls());
        ASSERT_EQ(http_getHdr(*http, baseUrl(server) + "/big", "", ""), 0);
        EXPECT_EQ(http_getData(*http, 0), -1);
        EXPECT_EQ(http->errorText, "An error occurred while communicating with the Hotmail server.");
        EXPECT_EQ(http->errorDetail, "The page sent by the server is too large.");
        EXPECT_EQ(http->socket.fd, -1);
    }
    {
        // So has a header.
        std::string lines;
        while (lines.size() < 70000) lines += "X-Filler: 0123456789012345678901234567890123456789\\r\\n";
        ScriptedServer server(expectRequest("/big") + "S-RAW: HTTP/1.1 200 OK\\r\\n" + lines + "\nSTALL\n", tls());
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/big", "", ""), -1);
        EXPECT_EQ(http->errorText, "HTTP host server returned an invalid response:");
        EXPECT_EQ(http->errorDetail, "The response header is too long.");
    }
}

TEST_F(HttpClientTest, LineBreaksInRequestPartsAreRefusedBeforeSending) {
    ScriptedServer server("STALL\n", tls());
    struct Case {
        std::string url, extra, body, contentType, detail;
    } cases[] = {
        {"/a\r\nX-Evil: 1", "", "", "", "The web address contains a line break or a NUL character."},
        {"/a\nb", "", "", "", "The web address contains a line break or a NUL character."},
        {"/a", "Referer: x\r\n\r\nGET /evil HTTP/1.1\r\n", "", "",
         "A request header line is empty or contains a line break of its own."},
        {"/a", "Accept: */*", "", "", "A request header line is empty or contains a line break of its own."},
        {"/a", "Referer: a\nb\r\n", "", "", "A request header line is empty or contains a line break of its own."},
        {"/a", "", "x=1", "text/plain\r\nX: y", "The content type contains a line break or a NUL character."},
    };
    for (const Case& c : cases) {
        http->extraHeaders = ToStr(c.extra);
        EXPECT_EQ(http_getHdr(*http, baseUrl(server) + c.url, c.body, c.contentType), -1) << c.detail;
        EXPECT_EQ(http->errorText, "The request cannot be sent to the Hotmail server.");
        EXPECT_EQ(View(http->errorDetail), c.detail);
    }
    http->extraHeaders.clear();
    // A user name with a line break cannot go into a Digest answer.
    http_authInit(*http, "joe\r\nX-Evil: 1:pw");
    http->hostName = ToStr("localhost");
    UpdateAuth(*http, "localhost", "digest", "\"r\"", "\"n\"");
    EXPECT_EQ(http_getHdr(*http, baseUrl(server) + "/a", "", ""), -1);
    EXPECT_EQ(http->errorText, "The request cannot be sent to the Hotmail server.");
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(server.clientBytes(), "");
}
