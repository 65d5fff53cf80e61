// The error log's dump of a failed web request: credentials never reach it.
#include <gtest/gtest.h>

#include "globals.h"
#include "http.h"
#include "httpauth.h"
#include "log.h"
#include "testutil.h"
#include "webmail.h"

namespace {

std::string masked(const std::string& dump) {
    Str out = http_maskSecrets(dump);
    return std::string(out.data(), out.size());
}

} // namespace

TEST(ErrorDump, CredentialsAreMasked) {
    struct Row {
        const char* what;
        std::string in, want;
    };
    const std::vector<Row> rows = {
        {"form body", "login=ann%40example.com&passwd=s3cr%26t&PPFT=abc&type=11",
         "login=********&passwd=********&PPFT=abc&type=11"},
        {"field names in any case", "PassWord=a&PWD=b&pass=c&Name=d", "PassWord=********&PWD=********&pass=********&Name=d"},
        {"query in the request line", "GET /login.srf?wa=1&Passwd=x HTTP/1.1\r\n",
         "GET /login.srf?wa=1&Passwd=******** HTTP/1.1\r\n"},
        {"basic authorization", "Authorization: Basic dXNlcjpwYXNz\r\n", "Authorization: Basic ********\r\n"},
        {"digest authorization", "proxy-authorization: Digest username=\"ann\", response=\"abc\"\r\n",
         "proxy-authorization: Digest ********\r\n"},
        {"cookie line", "Cookie: MSPAuth=a1; MSPProf=b2; lang=en; SessionID=c3; mt=d4; Y=e5; T=f6\r\n",
         "Cookie: MSPAuth=********; MSPProf=********; lang=en; SessionID=********; mt=********; Y=********; "
         "T=********\r\n"},
        {"set-cookie", "Set-Cookie: auth_token=xyz; path=/; domain=.example.com\r\nSet-Cookie: theme=dark\r\n",
         "Set-Cookie: auth_token=********; path=/; domain=.example.com\r\nSet-Cookie: theme=dark\r\n"},
        {"empty values and bare names stay", "passwd=&pass&=x", "passwd=&pass&=x"},
        {"nothing secret", "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n", "GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"},
    };
    for (const Row& r : rows) EXPECT_EQ(masked(r.in), r.want) << r.what;
}

TEST(ErrorDump, FailedRequestIsLoggedWithoutSecrets) {
    TempDir dir;
    errorLogSetPath(dir.file("error.log"));
    auto http = http_construct();
    http->requestText = ToStr("POST /ppsecure/post.srf?sid=77 HTTP/1.1\r\nHost: login.example.com\r\n"
                              "Authorization: Basic dXNlcjpodW50ZXIy\r\nCookie: MSPAuth=tok1; lang=en\r\n"
                              "content-type: application/x-www-form-urlencoded\r\ncontent-length: 30\r\n\r\n"
                              "login=ann&passwd=hunter2&x=1");
    http->url = ToStr("https://login.example.com/ppsecure/post.srf?sid=77&pwd=hunter2");
    http->headerText = ToStr("HTTP/1.1 500 Oops\r\nSet-Cookie: MSPProf=tok2; path=/\r\n\r\n");
    http->errorText = ToStr("Login sequence (5) error - cookie URL not found.");
    auto session = webMail_construct();
    session->httpSocket = http.get();
    LogWebmailError(*session);
    errorLogSetPath("");
    std::string log = readFile(dir.file("error.log"));
    for (const char* secret : {"hunter2", "dXNlcjpodW50ZXIy", "tok1", "tok2", "sid=77"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
    for (const char* kept : {"Login sequence (5) error", "passwd=********", "Authorization: Basic ********",
                             "MSPAuth=********; lang=en", "MSPProf=********; path=/", "pwd=********", "x=1"})
        EXPECT_NE(log.find(kept), std::string::npos) << kept << "\n" << log;
}
