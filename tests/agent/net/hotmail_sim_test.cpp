// The Hotmail stand-in, walked with the agent's own HTTP client and page helpers the way
// the agent signs in, lists, fetches, marks and moves: what a correct client gets, what
// a client that is one byte off gets, and the failures and body shapes a scenario asks for.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

#include "globals.h"
#include "hotmail_sim.h"
#include "sim_client.h"
#include "http.h"
#include "testca.h"
#include "texthelpers.h"
#include "webmail.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using Page = SimPage;
using Tweak = SimTweak;

// Walks the stand-in as the agent does, taking every value from the pages with the
// agent's scanning helpers, and stops at the first page that is missing what the next
// step needs or that is an error page.
// pages: by step, "getmsg <id>" and so on per message; ids: in page order.
class Walk : public SimWalk {
public:
    explicit Walk(const HotmailSim& sim, Tweak tweak = {}) : SimWalk("Hotmail", "tester@hotmail.com", std::move(tweak)), sim_(sim) {}
    int dirPages = 0;

    void run() {
        if (signIn() && list()) messages();
    }

    // The message source between the <PRE> lines, entities decoded, lines ended CR LF.
    static std::string recovered(const std::string& page) {
        std::string out;
        bool inside = false;
        for (const std::string& raw : splitLines(page)) {
            std::string line = !raw.empty() && raw.back() == '\r' ? raw.substr(0, raw.size() - 1) : raw;
            if (!inside) {
                inside = line == "<PRE>";
                continue;
            }
            if (line == "</PRE>") break;
            Str text = ToStr(line);
            for (auto [entity, plain] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}})
                ReplaceAll(text, entity, plain);
            out += std::string(View(text)) + "\r\n";
        }
        return out;
    }

private:
    static bool errorPage(const Page& p) {
        for (const char* marker : {"/LoginError.aspx", "/toobusy.html", "/fm_shell.asp"})
            if (has(p.url, marker)) return true;
        for (const char* marker : {"HM.FppError(", "class=\"errorText\">", "srf_fError=1", "onLoad_LockedOut"})
            if (has(p.text, marker)) return true;
        return p.rc != 0;
    }

    // Sends one request with the agent's header lines; false (the walk stops) on an
    // error page.
    bool send(const std::string& step, const char* method, const std::string& url, const std::string& body,
              const std::string& referer) {
        const Page& p = client.send(step, method, url, body, referer, "application/x-www-form-urlencoded");
        if (!errorPage(p)) return true;
        stopped = step;
        return false;
    }

    bool stop(const std::string& step) {
        stopped = step;
        return false;
    }

    std::string mail(const std::string& path) const { return "http://" + sim_.mailHost() + path; }
    static std::string E(const std::string& s) { return std::string(View(EncodeURLComponent(s))); }
    static std::string quoted(const std::string& page, const std::string& marker, const char* quotes) {
        return std::string(View(webFormParseUrl(InStr(1, page, marker), page, quotes, quotes)));
    }

    bool signIn() {
        if (!send("start", "GET", sim_.startUrl(), "", "")) return false;
        const std::string& start = pages["start"].text;
        std::string qs(View(getKwdVal("g_QS", "=", "", ";", start)));
        Str sft = getKwdVal("srf_sFT", "=", "", ";", start);
        std::string ppft(View(getKwdVal("value", "=", "", "", View(sft))));
        std::string pad = std::string("IfYouAreReadingThisYouHaveTooMuchFreeTime").substr(0, password.size() < 41 ? 41 - password.size() : 0);
        std::string body = "login=" + E(address) + "&passwd=" + E(password) + "&sec=&mspp_shared=&PwdPad=" + E(pad) +
                           "&PPSX=Pas&LoginOptions=3&PPFT=" + E(ppft);
        if (!send("login", "POST", "https://" + sim_.loginHost() + "/ppsecure/post.srf?" + qs, body, previous)) return false;

        Owned<webMail> form = webMail_construct();
        webFormInit(*form);
        webFormParse(*form, pages["login"].text);
        std::string last = "login";
        if (!form->formAction.empty()) {
            if (!send("form", "POST", std::string(View(form->formAction)), std::string(View(webFormParmStr(*form))), previous)) return false;
            last = "form";
        }
        std::string wsignin = quoted(pages[last].text, "wa=wsignin", "\"");
        if (wsignin.empty()) return stop("wsignin");
        if (!send("wsignin", "GET", wsignin, "", previous)) return false;

        const std::string& page = pages["wsignin"].text;
        Str sbox = ToStr(quoted(page, "sbox", "'\""));
        HTMLText_decode(sbox);
        long http = InStr(1, View(sbox), "http");
        Str login = http ? webFormParseUrl(http, View(sbox), "'", "'") : Str();
        EscapeText_decode(login);
        Str cookie = ToStr(quoted(page, "loginmsn.srf", "'\""));
        HTMLText_decode(cookie);
        if (login.empty() || cookie.empty()) return stop("sbox");
        if (!send("cookie", "GET", std::string(View(cookie)), "", previous)) return false;
        if (!send("sbox", "GET", std::string(View(login)), "", previous)) return false;

        std::string links = pages["sbox"].text;
        inboxPage_ = previous;
        if (!has(links, "\"/cgi-bin/HoTMaiL?")) {
            std::string home = quoted(links, "/cgi-bin/hmhome?", "\"");
            if (home.empty()) return stop("home");
            if (!send("home", "GET", mail(home), "", previous)) return false;
            links = pages["home"].text;
            inboxPage_ = previous;
        }
        for (long at = InStr(1, links, "\"/cgi-bin/HoTMaiL?"); at; at = InStr(at + 1, links, "\"/cgi-bin/HoTMaiL?")) {
            std::string link(View(webFormParseUrl(at + 1, links, "\"", "\"")));
            size_t box = link.find("curmbox="), a = link.find("&a=");
            std::string curmbox = box == std::string::npos ? "" : link.substr(box + 8, link.find('&', box) - box - 8);
            std::string key = a == std::string::npos ? "" : link.substr(a + 3, link.find('&', a + 3) - a - 3);
            if (curmbox.size() >= 9 && curmbox.substr(curmbox.size() - 9) == "000000001" && !key.empty()) {
                curmbox_ = curmbox;
                key_ = key;
                return true;
            }
        }
        return stop("inbox");
    }

    bool list() {
        std::set<std::string> seen;
        for (int n = 1;; ++n) {
            std::string step = n == 1 ? "dir" : "dir " + std::to_string(n);
            if (!send(step, "GET", mail("/cgi-bin/HoTMaiL?page=" + std::to_string(n) + "&wo=&msg=&curmbox=" + curmbox_ +
                                        "&a=" + key_ + "&sort=date"),
                      "", inboxPage_))
                return false;
            dirPages = n;
            const std::string& page = pages[step].text;
            size_t before = seen.size();
            for (size_t at = page.find("getmsg?msg="); at != std::string::npos; at = page.find("getmsg?msg=", at + 1)) {
                std::string id = page.substr(at + 11, page.find_first_of("&'", at + 11) - at - 11);
                if (seen.insert(id).second) ids.push_back(id);
            }
            if (n == 1 && !seen.empty() && !has(page, "HMFO('F000000004')")) return stop("trash");
            // A server that pages on for ever is left when a page adds nothing new.
            if (seen.size() == before || !has(page, "page=" + std::to_string(n + 1) + "&wo=")) return true;
        }
    }

    void messages() {
        for (const std::string& id : ids)
            if (!send("getmsg " + id, "GET", mail("/cgi-bin/getmsg?msg=" + id + "&imgsafe=n&raw=0&a=" + key_), "", inboxPage_)) return;
        if (!ids.empty() && !send("mark " + ids[0], "GET", mail("/cgi-bin/getmsg?msg=" + ids[0] + "&imgsafe=n&a=" + key_), "", inboxPage_))
            return;
        if (ids.size() > 1)
            send("move " + ids[1], "GET", mail("/cgi-bin/getmsg?msg=" + ids[1] + "&_HMaction=move&tobox=F000000004&a=" + key_), "",
                 inboxPage_);
    }

    const HotmailSim& sim_;
    std::string inboxPage_; // the page the inbox link came from: the listing's Referer
    std::string curmbox_, key_;
};

void fill(HotmailSim& sim, const std::string& scenario = "{}") {
    sim.scenario(scenario);
    sim.addMessage("m1", "From: a@example.com\r\nSubject: <tags> & \"quotes\"\r\n\r\nbody &amp; more\r\n");
    sim.addMessage("m2", "Subject: two\r\n\r\n\r\n.\r\nend\r\n");
    sim.addMessage("m3", "Subject: three\r\n\r\nlast\r\n");
}

class HotmailSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        trustOnly(testCerts().caCert);
        fill(sim);
    }
    void TearDown() override { globals.current = nullptr; }

    HotmailSim sim;
};

} // namespace

TEST(HotmailSim, ACorrectClientSignsInListsFetchesMarksAndMoves) {
    trustOnly(testCerts().caCert);
    struct Variant {
        const char* scenario;
        int dirPages;
        std::vector<std::string> signIn; // paths of the sign-in requests, in order
    } variants[] = {
        {"{}", 2, {"/", "/ppsecure/post.srf", "/ppsecure/finish.srf", "/cgi-bin/wsignin", "/ppsecure/loginmsn.srf", "/cgi-bin/sbox", "/cgi-bin/hmhome"}},
        {R"({"intermediate_form": false, "skip_home": true, "page_size": 1, "line_ends": "lf"})", 3,
         {"/", "/ppsecure/post.srf", "/cgi-bin/wsignin", "/ppsecure/loginmsn.srf", "/cgi-bin/sbox"}},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.scenario);
        HotmailSim sim;
        fill(sim, v.scenario);
        Walk walk(sim);
        walk.run();
        ASSERT_EQ(walk.stopped, "") << walk.pages[walk.stopped].text;
        EXPECT_EQ(walk.ids, (std::vector<std::string>{"m1", "m2", "m3"}));
        EXPECT_EQ(walk.dirPages, v.dirPages);
        for (const std::string& id : walk.ids) EXPECT_EQ(Walk::recovered(walk.pages["getmsg " + id].text), sim.source(id)) << id;
        EXPECT_EQ(has(walk.pages["getmsg m1"].text, "\r"), v.scenario == std::string("{}")) << "the page's line ends";

        EXPECT_EQ(sim.inbox(), (std::vector<std::string>{"m1", "m3"}));
        EXPECT_EQ(sim.trash(), (std::vector<std::string>{"m2"}));
        EXPECT_EQ(sim.read(), (std::vector<std::string>{"m1"}));

        std::vector<SimRequest> log = sim.requests();
        std::vector<std::string> signIn;
        for (const SimRequest& r : log) {
            EXPECT_EQ(r.refused, "") << r.path;
            EXPECT_EQ(r.status, 200) << r.path;
            if (signIn.size() < v.signIn.size()) signIn.push_back(r.path.substr(0, r.path.find('?')));
        }
        EXPECT_EQ(signIn, v.signIn);
        // Cookies go by host name: the start page's (127.0.0.1) reaches the mailbox on
        // another port, the sign-in server's (localhost) does not, and none came before
        // the sign-in post.
        EXPECT_EQ(log[1].header("Cookie"), "");
        const std::string cookies = log[log.size() - 3].header("Cookie");
        EXPECT_EQ(cookies.rfind("MSPRequ=", 0), 0u) << cookies;
        EXPECT_TRUE(has(cookies, "; MSPAuth=") && has(cookies, "; HMSC=")) << cookies;
        EXPECT_FALSE(has(cookies, "MSPOK")) << cookies;
    }
}

TEST_F(HotmailSimTest, ARequestThatIsOneByteOffIsRefusedWithItsReason) {
    auto replace = [](std::string from, std::string to, std::string where = "url") { return replaceFirst(from, to, where); };
    struct Case {
        Tweak tweak;
        std::string step;   // where the walk meets the refusal
        std::string reason; // part of the reason the stand-in gives
    } cases[] = {
        {{"login", replace("%2a", "%2A", "body")}, "login", "sign-in body differs at byte"},
        {{"login", replace("&bk=", "&bk=1")}, "login", "sign-in query differs"},
        {{"start", replace("Accept", "Referer: http://127.0.0.1/\r\nAccept", "headers")}, "start",
         "header lines User-Agent, Host, Referer, Accept"},
        {{"form", replace("%26", "&", "body")}, "form", "form body differs"},
        {{"wsignin", replace("Referer: ", "Referer: x", "headers")}, "wsignin", "Referer: 'x"},
        {{"cookie", {}}, "sbox", "sbox requested before the cookie link"},
        {{"home", replace("Accept: */*", "Accept: text/html", "headers")}, "home", "Accept: 'text/html'"},
        {{"home", replace("fti=yes&", "")}, "home", "home page query differs"},
        {{"dir", replace("&sort=date", "")}, "dir", "directory query"},
        {{"getmsg m2", replace("msg=m2", "msg=m9")}, "getmsg m2", "message 'm9' is not in the inbox"},
        {{"mark m1", replace("imgsafe=n&", "")}, "mark m1", "mark query"},
        {{"move m2", replace("F000000004", "F000000005")}, "move m2", "move to folder 'F000000005'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tweak.step + ": " + c.reason);
        sim.clearRequests();
        Walk walk(sim, c.tweak);
        walk.run();
        ASSERT_EQ(walk.stopped, c.step);
        const Page& page = walk.pages[c.step];
        std::vector<SimRequest> log = sim.requests();
        // A refusal of the sign-in server is followed by its error page.
        if (!log.empty() && log.back().path.rfind("/LoginError.aspx", 0) == 0) log.pop_back();
        ASSERT_FALSE(log.empty());
        const SimRequest& last = log.back();
        EXPECT_TRUE(has(last.refused, c.reason)) << last.refused;
        for (size_t i = 0; i + 1 < log.size(); ++i) EXPECT_EQ(log[i].refused, "") << log[i].path;
        // Each server says it in the way the agent reads its failures.
        if (last.role == "start") {
            EXPECT_EQ(page.rc, -1);
            EXPECT_TRUE(has(page.text, "400 Stand-in refused the request: " + c.reason)) << page.text;
        } else if (last.role == "login") {
            EXPECT_TRUE(has(page.url, "/LoginError.aspx?error=")) << page.url;
            EXPECT_EQ(std::string(View(getKwdVal("\"errorTitle\"", ">", "=", "<", page.text))), "Stand-in refused the request");
            EXPECT_TRUE(has(std::string(View(getKwdVal("\"errorText\"", ">", "=", "<", page.text))), c.reason));
        } else {
            EXPECT_TRUE(has(page.text, "<div class=\"errorText\">Stand-in refused the request: ")) << page.text;
        }
        EXPECT_EQ(sim.inbox(), (std::vector<std::string>{"m1", "m2", "m3"})) << "a refused move moves nothing";
        if (c.step.rfind("mark", 0) == 0) {
            EXPECT_TRUE(sim.read().empty()) << "a refused mark marks nothing";
        }
    }
}

TEST(HotmailSim, ScenarioFailuresAndQuirks) {
    trustOnly(testCerts().caCert);
    struct Case {
        std::string scenario;
        std::string stopped; // where the walk ends ("" ran through)
        std::string page;    // the step whose page (final URL and text) is looked at
        std::vector<std::string> in, notIn;
        int unanswered = 0;  // connections closed without an answer
        std::string password = "secret";
    } cases[] = {
        {R"({"fail": {"step": "sbox", "kind": "toobusy"}})", "sbox", "sbox", {"/toobusy.html"}, {}},
        {R"({"fail": {"step": "home", "kind": "fm_shell"}})", "home", "home",
         {"/cgi-bin/fm_shell.asp?err=Mailbox%20is%20unavailable&x=1"}, {}},
        {R"({"fail": {"step": "wsignin", "kind": "machinedown"}})", "wsignin", "wsignin", {"/cgi-bin/fm_shell.asp?content=machinedown"}, {}},
        {R"({"fail": {"step": "form", "kind": "fpp"}})", "form", "form", {"HM.FppError(1,\"The action could not be completed.\")"}, {}},
        {R"({"fail": {"step": "getmsg", "kind": "errortext", "ids": ["m2"]}})", "getmsg m2", "getmsg m2",
         {"<div class=\"errorText\">Your mailbox &amp; folders are unavailable.</div>"}, {}},
        {R"({"fail": {"step": "dir", "kind": "http500"}})", "dir", "dir", {"500 Internal Server Error"}, {}},
        {R"({"fail": {"step": "start", "kind": "close"}})", "start", "start", {}, {}, 2},
        {R"({"fail": {"step": "login", "kind": "locked"}})", "login", "login", {"onLoad_LockedOut"}, {}},
        {R"({"fail": {"step": "login", "kind": "login_error"}})", "login", "login",
         {"/LoginError.aspx?error=80048821&x=1", "<div id=\"errorTitle\">Sign-in refused</div>", "\"errorText\">The account"}, {}},
        {R"({"fail": {"step": "login", "kind": "login_error_code"}})", "login", "login", {"error=80041012"}, {"errorTitle", "errorText"}},
        {"{}", "login", "login", {"srf_fError=1", "srf_sErr=\"The e-mail address or password is incorrect.\";"}, {}, 0, "Secret"},
        {R"({"fail": {"step": "form", "kind": "no_wsignin"}})", "wsignin", "form", {"Signing in"}, {"wa=wsignin"}},
        {R"({"intermediate_form": false, "fail": {"step": "login", "kind": "no_wsignin"}})", "wsignin", "login", {}, {"wa=wsignin"}},
        {R"({"fail": {"step": "wsignin", "kind": "no_sbox_url"}})", "sbox", "wsignin", {"sbox?t=", "loginmsn.srf"}, {"http:\\/\\/"}},
        {R"({"fail": {"step": "wsignin", "kind": "no_cookie_url"}})", "sbox", "wsignin", {"http:\\/\\/"}, {"loginmsn.srf"}},
        {R"({"fail": {"step": "sbox", "kind": "no_home"}})", "home", "sbox", {}, {"hmhome", "HoTMaiL"}},
        {R"({"fail": {"step": "home", "kind": "no_inbox"}})", "inbox", "home", {"curmbox=F000000005&a="}, {"HoTMaiL?curmbox=F000000001&a="}},
        {R"({"skip_home": true, "fail": {"step": "sbox", "kind": "no_inbox"}})", "inbox", "sbox", {"curmbox=F000000005&a="},
         {"HoTMaiL?curmbox=F000000001&a="}},
        {R"({"fail": {"step": "dir", "kind": "no_trash"}})", "trash", "dir", {"HMFO('F000000005')"}, {"HMFO('F000000004')"}},
        {R"({"fail": {"step": "dir", "kind": "no_wsignin"}})", "dir", "dir", {"500 Scenario Error"}, {}},
        {R"({"fail": {"step": "cookie", "kind": "close", "times": 1}, "pre_close_inline": true})", "", "getmsg m3",
         {"\r\nlast</PRE></body></html>\r\n"}, {"\r\n</PRE>"}, 1},
        // Page 3 repeats page 2 with a link onwards; the walk ends because it adds nothing.
        {R"({"repeat_paging": true})", "", "dir 3", {"getmsg?msg=m3&", "page=4&wo="}, {"getmsg?msg=m1&"}},
        {R"({"pre_trailing_blanks": true})", "", "getmsg m1", {"\r\n<PRE>  \r\nFrom: a@example.com\r\n"}, {}},
        // The agent's client reads every body shape the raw modes give.
        {R"({"body": [{"step": "getmsg", "mode": "chunked", "at": 7, "ids": ["m1"]}, {"step": "dir", "mode": "split", "at": 99}]})",
         "", "getmsg m1", {"\r\n<PRE>\r\nFrom: a@example.com\r\n"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        HotmailSim sim;
        fill(sim, c.scenario);
        Walk walk(sim);
        walk.password = c.password;
        walk.run();
        EXPECT_EQ(walk.stopped, c.stopped);
        const Page& page = walk.pages[c.page];
        std::string seen = page.url + "\n" + page.text;
        for (const std::string& part : c.in) EXPECT_TRUE(has(seen, part)) << part << " in " << seen;
        for (const std::string& part : c.notIn) EXPECT_FALSE(has(seen, part)) << part << " in " << seen;
        int unanswered = 0;
        for (const SimRequest& r : sim.requests()) {
            unanswered += r.status == 0;
            EXPECT_TRUE(r.refused.empty() || r.refused.rfind("scenario: ", 0) == 0) << r.refused;
        }
        EXPECT_EQ(unanswered, c.unanswered);
    }
}

namespace {

// The start page's answer exactly as the stand-in writes it, read until it closes.
std::string rawStartPage(const HotmailSim& sim) {
    std::string url = sim.startUrl();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string request = "GET / HTTP/1.1\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.0; Trident/4.0)\r\n"
                                "Host: 127.0.0.1\r\nAccept: */*\r\nConnection: Keep-Alive\r\n\r\n";
    EXPECT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string answer;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 10000) == 1;) {
        n = ::read(fd, buf, sizeof buf);
        if (n > 0) answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

struct Chunked {
    std::vector<std::string> sizeLines;
    std::string data;
    bool lastChunk = false;
};

Chunked dechunk(std::string wire) {
    Chunked out;
    while (!wire.empty()) {
        size_t end = wire.find("\r\n");
        std::string line = wire.substr(0, end);
        out.sizeLines.push_back(line);
        size_t size = std::stoul(line, nullptr, 16);
        if (size == 0) {
            out.lastChunk = wire.substr(end) == "\r\n\r\n";
            break;
        }
        out.data += wire.substr(end + 2, size);
        wire.erase(0, end + 2 + size + 2);
    }
    return out;
}

} // namespace

TEST_F(HotmailSimTest, BodyModesShapeTheBytesOfTheAnswer) {
    for (const char* mode : {"", "short1", "chunked", "chunked_nolast", "early_close", "split"}) {
        SCOPED_TRACE(mode);
        sim.scenario(*mode ? std::string(R"({"body": {"step": "start", "mode": ")") + mode + R"(", "at": 40}})" : "{}");
        std::string answer = rawStartPage(sim);
        size_t headEnd = answer.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos) << answer;
        std::string head = answer.substr(0, headEnd + 2), body = answer.substr(headEnd + 4);
        EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
        EXPECT_TRUE(has(head, "\r\nConnection: close\r\n")) << head;
        size_t at = head.find("\r\nContent-Length: ");
        long announced = at == std::string::npos ? -1 : std::stol(head.substr(at + 18));
        const std::string end = "</html>\n";
        std::string m = mode;
        if (m == "chunked" || m == "chunked_nolast") {
            EXPECT_EQ(announced, -1);
            EXPECT_TRUE(has(head, "\r\nTransfer-Encoding: chunked\r\n")) << head;
            Chunked chunks = dechunk(body);
            EXPECT_EQ(chunks.lastChunk, m == "chunked");
            ASSERT_GE(chunks.sizeLines.size(), 3u);
            EXPECT_EQ(chunks.sizeLines[0], "28") << "the first chunk ends at \"at\"";
            EXPECT_TRUE(has(chunks.sizeLines[1], ";piece=1")) << chunks.sizeLines[1];
            EXPECT_EQ(chunks.data.rfind("<html>", 0), 0u);
            EXPECT_EQ(chunks.data.substr(chunks.data.size() - end.size()), end);
        } else if (m == "early_close") {
            EXPECT_EQ(body.size(), 40u);
            EXPECT_GT(announced, 80);
        } else {
            EXPECT_EQ(announced, static_cast<long>(body.size()) + (m == "short1"));
            EXPECT_EQ(body.substr(body.size() - end.size()), end);
        }
    }
}
