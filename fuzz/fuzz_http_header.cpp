// HTTP response headers as any bytes, two ways: parsed directly as a header text, and
// played as a server (turns cut at NUL bytes, netshim.h) to a GET that follows
// redirects and challenges and then reads the body in pieces. Promises checked: the
// cookie and challenge stores stay aligned, a Location is made absolute, every request
// sent keeps its header lines whole (no line break of a server's making), the number of
// connections is bounded by the redirect and retry rules, and no piece passes its cap.
#include "fuzz_util.h"
#include "http.h"
#include "httpauth.h"
#include "netshim.h"

namespace {

void checkStores(const HttpClient& http) {
    fuzz::check(http.cookieDomains.size() == http.cookieNames.size() && http.cookiePaths.size() == http.cookieNames.size() &&
                    http.cookieValues.size() == http.cookieNames.size(),
                "cookie store out of step");
    fuzz::check(http.authSchemes.size() == http.authHosts.size() && http.authRealms.size() == http.authHosts.size() &&
                    http.authNonces.size() == http.authHosts.size(),
                "challenge store out of step");
    std::string_view loc = View(http.location);
    fuzz::check(loc.empty() || loc.substr(0, loc.find('/')).find(':') != std::string_view::npos,
                "Location not made absolute");
}

// Each request's header, up to its blank line, is made of CR LF lines only.
void checkRequests(std::string_view sent) {
    while (!sent.empty()) {
        size_t end = sent.find("\r\n\r\n");
        fuzz::check(end != std::string_view::npos, "request without a blank line");
        std::string_view header = sent.substr(0, end + 2);
        for (size_t i = 0; i < header.size(); ++i) {
            if (header[i] == '\n') fuzz::check(i > 0 && header[i - 1] == '\r', "bare LF in a request header");
            if (header[i] == '\r') fuzz::check(i + 1 < header.size() && header[i + 1] == '\n', "bare CR in a request header");
            fuzz::check(header[i] != '\0', "NUL in a request header");
        }
        sent.remove_prefix(end + 4); // GET requests have no body
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::asText(data, size);
    {
        auto http = http_construct();
        http->hostName = ToStr("mail.example.com");
        http->connectPort = 8080;
        http->headerText = ToStr(input);
        parseHeaders(*http);
        checkStores(*http);
    }

    netshim::play(data, size);
    auto http = http_construct();
    http->socket.limits = {1, 1, 1, 1, 8192};
    http->limits = {4096, 8192, 256};
    http->serverName = ToStr("Web");
    http->method = ToStr("GET");
    http_authInit(*http, "user:secret");
    if (http_getHdr(*http, "http://mail.example.com/login", "", "") == 0) {
        long got;
        int pieces = 0;
        while ((got = http_getData(*http, 1024)) > 0 && ++pieces < 1000)
            fuzz::check(http->body.size() <= 8192 + 4096, "piece past its cap");
    }
    checkStores(*http);
    http_closeSocket(*http);
    netshim::finish();
    // The first request, one retry, seven redirects and two challenges per location.
    fuzz::check(netshim::connections() <= 1 + 1 + 7 + 2 * 8 + 8, "too many connections");
    checkRequests(netshim::sent());
    return 0;
}
