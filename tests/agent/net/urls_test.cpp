#include <gtest/gtest.h>

#include "http.h"

TEST(WebUrls, LinksResolveAgainstTheirPage) {
    struct Case {
        const char* base;
        const char* link;
        const char* resolved;
    } cases[] = {
        {"http://127.0.0.1:8080/cgi-bin/sbox?t=1", "https://localhost:8443/x", "https://localhost:8443/x"},
        {"http://127.0.0.1:8080/cgi-bin/sbox?t=1", "HTTP://other/", "HTTP://other/"},
        {"http://127.0.0.1:8080/cgi-bin/sbox?t=1", "/cgi-bin/hmhome?a=1", "http://127.0.0.1:8080/cgi-bin/hmhome?a=1"},
        {"https://localhost:8443/ppsecure/post.srf?a/b", "finish.srf?x", "https://localhost:8443/ppsecure/finish.srf?x"},
        {"http://127.0.0.1:8080", "page?x", "http://127.0.0.1:8080/page?x"},
        {"https://localhost:8443/a/b", "//127.0.0.1:81/c", "https://127.0.0.1:81/c"},
    };
    for (const Case& c : cases) EXPECT_EQ(http_resolveUrl(c.base, c.link), c.resolved) << c.base << " + " << c.link;
}

TEST(WebUrls, HostUrlKeepsAPortThatIsNotTheDefault) {
    HttpClient http;
    http.hostName = ToStr("127.0.0.1");
    http.connectPort = 8080;
    EXPECT_EQ(http_hostUrl(http), "http://127.0.0.1:8080");
    http.connectPort = 80;
    EXPECT_EQ(http_hostUrl(http), "http://127.0.0.1");
    http.useTLS = 1;
    http.connectPort = 443;
    EXPECT_EQ(http_hostUrl(http), "http://127.0.0.1");
}
