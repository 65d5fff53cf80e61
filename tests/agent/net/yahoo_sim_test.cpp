// The Yahoo Mail stand-in, walked with the agent's own HTTP client and page helpers the
// way the agent signs in, lists, fetches, downloads, flags, moves and signs out: what a
// correct client gets, what a client that is one byte off gets, and the failures a
// scenario asks for.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

#include "globals.h"
#include "http.h"
#include "sim_client.h"
#include "testca.h"
#include "texthelpers.h"
#include "webmail.h"
#include "yahoo_sim.h"

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const std::string kEnvelope =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/1999/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/1999/XMLSchema\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";

const std::map<std::string, std::string> kBodies = {
    {"ListMessages", "<SOAP-ENV:Body><m:ListMessages xmlns:m=\"urn:yahoo:ymws\" startInfo=\"0\" numInfo=\"9999\" "
                     "numBody=\"0\" startMid=\"0\" numMid=\"9999\"><sortKey>date</sortKey><sortOrder>down</sortOrder>"
                     "<filterBy></filterBy><fid>Inbox</fid><transform-markup>remove-javascript</transform-markup>"
                     "</m:ListMessages></SOAP-ENV:Body>"},
    {"GetMessageRawHeader", "<SOAP-ENV:Body><m:GetMessageRawHeader xmlns:m=\"urn:yahoo:ymws\"><mid>%mid%</mid>"
                            "<fid>Inbox</fid></m:GetMessageRawHeader></SOAP-ENV:Body>"},
    {"GetMessage", "<SOAP-ENV:Body><m:GetMessage xmlns:m=\"urn:yahoo:ymws\"><mid>%mid%</mid><truncateAt>0"
                   "</truncateAt><fid>Inbox</fid></m:GetMessage></SOAP-ENV:Body>"},
    {"MoveMessages", "<SOAP-ENV:Body><m:MoveMessages xmlns:m=\"urn:yahoo:ymws\"><sourceFid>Inbox</sourceFid>"
                     "<destinationFid>Trash</destinationFid><mid>%mid%</mid></m:MoveMessages></SOAP-ENV:Body>"},
    {"FlagMessages", "<SOAP-ENV:Body><m:FlagMessages xmlns:m=\"urn:yahoo:ymws\"><fid>Inbox</fid><mid>%mid%</mid>"
                     "<setFlags read=\"1\"></setFlags></m:FlagMessages></SOAP-ENV:Body>"},
};

// Walks the stand-in as the agent does, taking every value from the pages with the
// agent's scanning helpers; stops where a page lacks what the next step needs.
// pages: by step, "getmessage <id>" and so on per message; ids: in answer order.
class Walk : public SimWalk {
public:
    explicit Walk(const YahooSim& sim, SimTweak tweak = {}) : SimWalk("Yahoo", "tester@yahoo.com", std::move(tweak)), sim_(sim) {}

    void run() {
        if (signIn() && list()) messages();
        logout();
    }

private:
    void send(const std::string& step, const char* method, const std::string& url, const std::string& body,
              const std::string& referer, const char* type) {
        client.http().acceptEarlyClose = step.rfind("download", 0) == 0;
        client.send(step, method, url, body, referer, type);
    }

    bool ok(const std::string& step) {
        const SimPage& p = pages[step];
        if (p.rc == 0 && !has(p.text, "<faultstring>")) return true;
        stopped = step;
        return false;
    }

    bool stop(const std::string& step) {
        stopped = step;
        return false;
    }

    std::string soap(const std::string& step, const std::string& method, const std::string& id, const std::string& referer = "") {
        std::string url = "http://" + sim_.mailHost() + "/ws/mail/v1/soap?m=" + method + "&wssid=" + wssid_ + "&appid=YahooMailRC";
        Str body = ToStr(kEnvelope + kBodies.at(method) + "</SOAP-ENV:Envelope>\r\n");
        ReplaceAll(body, "%mid%", id);
        send(step, "POST", url, std::string(View(body)), referer.empty() ? url : referer, "text/xml");
        return step;
    }

    bool signIn() {
        send("start", "GET", sim_.startUrl(), "", "", "");
        if (!ok("start")) return false;
        const std::string& start = pages["start"].text;
        Owned<webMail> form = webMail_construct();
        webFormInit(*form);
        bool signInForm = false;
        while (!signInForm) {
            webFormParse(*form, start);
            if (form->formPos == 0) return stop("form");
            for (size_t i = 0; i < form->formNames.size(); ++i) {
                if (strcmpi(View(form->formNames[i]), "login") == 0) {
                    form->formValues[i] = ToStr(address);
                    signInForm = !form->formAction.empty();
                }
                if (strcmpi(View(form->formNames[i]), "passwd") == 0) form->formValues[i] = ToStr(password);
            }
            if (!signInForm) form->formPos += form->formLen;
        }
        std::string action(View(form->formAction));
        send("login", "POST", action, std::string(View(webFormParmStr(*form))), previous, "application/x-www-form-urlencoded");
        const std::string& answer = pages["login"].text;
        if (!ok("login") || !has(answer, "/launch?.")) return stop("login");
        std::string launch(View(webFormParseUrl(InStr(1, answer, "/launch?"), answer, "\"", "\"")));
        if (launch.empty()) return stop("launch link");
        send("launch", "GET", launch, "", action, "");
        if (!ok("launch")) return false;
        std::string app = "launch";
        if (has(pages["launch"].url, "/ytoolbar")) {
            send("interstitial", "GET", "http://" + sim_.mailHost() + "/ytoolbar/configserver/ext/mail_interstitial/mail_act.php?mpref=2",
                 "", launch, "");
            if (!ok("interstitial")) return false;
            app = "interstitial";
        }
        const std::string& page = pages[app].text;
        Str w = getKwdVal("'wssid'", ":", "", " ,", page);
        if (w.empty()) w = getKwdVal("\"wssid\"", ":", " ,", " ,", page);
        EscapeText_decode(w);
        wssid_ = std::string(View(w));
        return !wssid_.empty() || stop("wssid");
    }

    bool list() {
        if (!ok(soap("list", "ListMessages", "", previous))) return false;
        const std::string& answer = pages["list"].text;
        if (!has(answer, "<ListMessagesResponse ")) return stop("list");
        for (size_t at = answer.find("<mid>"); at != std::string::npos; at = answer.find("<mid>", at + 1)) {
            size_t end = answer.find("</mid>", at);
            if (end == std::string::npos) return stop("mid");
            ids.push_back(answer.substr(at + 5, end - at - 5));
        }
        return true;
    }

    void messages() {
        static const std::regex part("<part partId=\"([^\"]*)\" type=\"([^\"]*)\"");
        for (const std::string& id : ids) {
            if (!ok(soap("rawheader " + id, "GetMessageRawHeader", id)) || !ok(soap("getmessage " + id, "GetMessage", id))) return;
            const std::string& answer = pages["getmessage " + id].text;
            for (std::sregex_iterator m(answer.begin(), answer.end(), part), end; m != end; ++m) {
                std::string type = (*m)[2];
                if (type == "text" || type == "multipart" || type == "x-unknown") continue;
                std::string url = "http://" + sim_.mailHost() + "/ya/download/?fid=Inbox&mid=" + std::string(View(EncodeURLComponent(id))) +
                                  "&pid=" + std::string((*m)[1]) + "&tnef=&YY=1154723798517&newid=1&clean=0&inline=1";
                std::string step = "download " + id + " " + std::string((*m)[1]);
                send(step, "GET", url, "", url, "");
                if (!ok(step)) return;
            }
        }
        if (!ids.empty() && !ok(soap("flag " + ids[0], "FlagMessages", ids[0]))) return;
        if (ids.size() > 1) ok(soap("move " + ids[1], "MoveMessages", ids[1]));
    }

    void logout() {
        std::string url = "https://" + sim_.loginHost() + "/config/login?logout=1&.done=" + sim_.startUrl() + "&.src=ym";
        send("logout", "GET", url, "", url, "");
    }

    const YahooSim& sim_;
    std::string wssid_;
};

const std::string kMixed =
    "From: Ann <ann@example.com>\nTo: tester@yahoo.com\nSubject: Tom &amp; <Jerry>\n"
    "Content-Type: multipart/mixed; boundary=\"A\"\n\n"
    "--A\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\nGr=FC=DFe & <b>\n"
    "--A\nContent-Type: image/png\nContent-ID: <img1@example.com>\nContent-Disposition: inline; filename=\"a.png\"\n"
    "Content-Transfer-Encoding: base64\n\niVBORw0KGgo=\n"
    "--A--\n";
const std::string kPlain = "From ann@example.com Mon Jan  1 00:00:00 2024\nSubject: plain\n\nhello\n";

void fill(YahooSim& sim, const std::string& scenario = "{}") {
    sim.scenario(scenario);
    sim.addMessage("1_1_Ab-c", kMixed);
    sim.addMessage("2_7_xy", kPlain);
    sim.addMessage("single", "Subject: third\n\nlast\n");
}

// What each listener answers a refusal with, as the agent's client reads it.
std::string refusalSeen(const SimRequest& last) {
    if (last.role == "login" && last.method == "POST") return "<div class=\"yregertxt\">Stand-in refused the request: ";
    if (last.path.rfind("/ws/mail/v1/soap", 0) == 0) return "<faultstring>Stand-in refused the request</faultstring><detail>";
    return "400 Stand-in refused the request: ";
}

} // namespace

TEST(YahooSim, ACorrectClientSignsInListsFetchesDownloadsFlagsMovesAndSignsOut) {
    trustOnly(testCerts().caCert);
    for (const char* scenario : {"{}", R"({"toolbar": true, "wssid_form": "double", "search_form": false, "download": "redirect"})",
                                 R"({"download": "relative"})", R"({"download": "early_close"})"}) {
        SCOPED_TRACE(scenario);
        YahooSim sim;
        fill(sim, scenario);
        Walk walk(sim);
        walk.run();
        ASSERT_EQ(walk.stopped, "") << walk.pages[walk.stopped].text;
        EXPECT_EQ(walk.ids, (std::vector<std::string>{"single", "2_7_xy", "1_1_Ab-c"})) << "newest first";
        EXPECT_TRUE(has(walk.pages["rawheader 2_7_xy"].text,
                        "<rawheaders>From ann@example.com Mon Jan  1 00:00:00 2024\nSubject: plain\n</rawheaders>"))
            << walk.pages["rawheader 2_7_xy"].text;
        EXPECT_TRUE(has(walk.pages["rawheader 1_1_Ab-c"].text, "Subject: Tom &amp;amp; &lt;Jerry&gt;\n"));
        const std::string& parts = walk.pages["getmessage 1_1_Ab-c"].text;
        for (const char* part :
             {"<part partId=\"HEADER\" type=\"x-unknown\" subtype=\"x-unknown\"/><part partId=\"TEXT\" type=\"multipart\" subtype=\"mixed\" "
              "typeParams=\"boundary=&quot;A&quot;\"/>",
              "<part partId=\"1\" type=\"text\" subtype=\"plain\" typeParams=\"charset=iso-8859-1\" encoding=\"quoted-printable\" ",
              "><text>Gr\xc3\xbc\xc3\x9f" "e &amp; &lt;b&gt;</text>",
              "<part partId=\"2\" type=\"image\" subtype=\"png\" disposition=\"inline\" dispParams=\"filename=&quot;a.png&quot;\" "
              "contentId=\"&lt;img1@example.com&gt;\" encoding=\"base64\" "})
            EXPECT_TRUE(has(parts, part)) << part << "\n" << parts;
        EXPECT_TRUE(has(walk.pages["getmessage single"].text, "<part partId=\"TEXT\" type=\"text\" subtype=\"plain\" size=\"5\"><text>last\n</text>"))
            << "no attribute for a header that is not there";
        EXPECT_EQ(walk.pages["download 1_1_Ab-c 2"].text, std::string("\x89PNG\r\n\x1a\n", 8));

        EXPECT_EQ(sim.inbox(), (std::vector<std::string>{"1_1_Ab-c", "single"}));
        EXPECT_EQ(sim.trash(), (std::vector<std::string>{"2_7_xy"}));
        EXPECT_EQ(sim.read(), (std::vector<std::string>{"single"}));

        std::vector<SimRequest> log = sim.requests();
        for (const SimRequest& r : log) {
            EXPECT_EQ(r.refused, "") << r.path;
            EXPECT_TRUE(r.status == 200 || r.status == 302) << r.path;
        }
        // Cookies go by host name: the start page's and the launch's (127.0.0.1) reach
        // the web service, the sign-in server's (localhost) only the sign-out.
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[1].header("Cookie"), "");
        std::string service = log[log.size() - 2].header("Cookie");
        EXPECT_EQ(service.rfind("B=", 0), 0u) << service;
        EXPECT_TRUE(has(service, "; Y=v=1&n=") && has(service, "; T=z=") && service.substr(service.size() - 2) == "; ") << service;
        EXPECT_EQ(log.back().path.rfind("/config/login?logout=1&.done=http://127.0.0.1:", 0), 0u);
        EXPECT_EQ(log.back().header("Cookie").rfind("Y=", 0), 0u);
        EXPECT_FALSE(has(log.back().header("Cookie"), "T=")) << log.back().header("Cookie");
    }
}

TEST(YahooSim, ARequestThatIsOneByteOffIsRefusedWithItsReason) {
    trustOnly(testCerts().caCert);
    auto replace = [](std::string from, std::string to, std::string where = "url") { return replaceFirst(from, to, where); };
    struct Case {
        SimTweak tweak;
        std::string reason; // part of the reason the stand-in gives
    } cases[] = {
        {{"start", replace("Accept", "Referer: http://127.0.0.1/\r\nAccept", "headers")}, "header lines User-Agent, Host, Referer, Accept"},
        {{"login", replace("%2f", "/", "body")}, "sign-in body differs at byte"},
        {{"login", replace("login?", "login?x=1")}, "sign-in query"},
        {{"launch", replace("Referer: ", "Referer: x", "headers")}, "Referer: 'x"},
        {{"launch", replace(".gx=1&", "")}, "launch query differs"},
        {{"list", replace("&wssid=", "&wssid=x")}, "is not the one handed out"},
        {{"list", replace("\r\n", "", "body")}, "ListMessages body differs"},
        {{"rawheader single", replace("<fid>Inbox", "<fid>inbox", "body")}, "GetMessageRawHeader body differs"},
        {{"getmessage 2_7_xy", replace("2_7_xy", "2_7_zz", "body")}, "message '2_7_zz' is not in the inbox"},
        {{"download 1_1_Ab-c 2", replace("%5f", "_")}, "is not the id encoded as 1%5f1%5fAb%2dc"},
        {{"download 1_1_Ab-c 2", replace("&pid=2", "&pid=1")}, "part 1 of '1_1_Ab-c' is a text/plain part"},
        {{"flag single", replace("Connection: Keep-Alive", "Connection: close", "headers")}, "Connection: 'close'"},
        {{"move 2_7_xy", replace("Referer: http", "Referer: https", "headers")}, "Referer: 'https"},
        {{"logout", replace("&.src=ym", "")}, "logout query differs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tweak.step + ": " + c.reason);
        YahooSim sim;
        fill(sim);
        Walk walk(sim, c.tweak);
        walk.run();
        std::vector<SimRequest> log = sim.requests();
        auto refused = std::find_if(log.begin(), log.end(), [](const SimRequest& r) { return !r.refused.empty(); });
        ASSERT_NE(refused, log.end());
        EXPECT_TRUE(has(refused->refused, c.reason)) << refused->refused;
        EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const SimRequest& r) { return !r.refused.empty(); }), 1);
        const SimPage& page = walk.pages[c.tweak.step];
        EXPECT_TRUE(has(page.text, refusalSeen(*refused))) << page.text;
        EXPECT_EQ(sim.inbox().size() + sim.trash().size(), 3u);
        EXPECT_TRUE(c.tweak.step.rfind("move", 0) != 0 || sim.trash().empty()) << "a refused move moves nothing";
        EXPECT_TRUE(c.tweak.step.rfind("flag", 0) != 0 || sim.read().empty()) << "a refused flag flags nothing";
    }
}

TEST(YahooSim, ScenarioFailures) {
    trustOnly(testCerts().caCert);
    struct Case {
        std::string scenario;
        std::string stopped; // where the walk ends ("" ran through)
        std::string page;    // the step whose page (final URL and text) is looked at
        std::vector<std::string> in, notIn;
    } cases[] = {
        {R"({"password": "other"})", "login", "login",
         {"<div class=\"yregertxt\">Invalid ID or password.<br>Please try again.</div>"}, {"/launch?"}},
        {R"({"fail": {"step": "login", "kind": "update"}})", "login", "login", {"https://localhost:", "/update?.src=ym\n"}, {}},
        {R"({"fail": {"step": "login", "kind": "h2"}})", "login", "login", {"<h2>Error: Your account is locked</h2>"}, {}},
        {R"({"fail": {"step": "login", "kind": "span_heading"}})", "login", "login",
         {"<span class=\"primaryHeading\">Sign-in&nbsp;unavailable<br />Try later</span></td>"}, {}},
        {R"({"fail": {"step": "login", "kind": "div_heading"}})", "login", "login",
         {"<div class=\"primaryHeading x\">Too many attempts<br/>Wait an hour</div>"}, {}},
        {R"({"fail": {"step": "login", "kind": "plain"}})", "login", "login", {}, {"/launch?", "yregertxt", "<h2>", "primaryHeading"}},
        {R"({"fail": {"step": "login", "kind": "empty_launch"}})", "launch link", "login", {"/launch?."}, {}},
        {R"({"fail": {"step": "start", "kind": "no_login_form"}})", "form", "start", {"<form"}, {"passwd"}},
        {R"({"fail": {"step": "launch", "kind": "no_wssid"}})", "wssid", "launch", {"YahooMailRC"}, {"wssid"}},
        {R"({"toolbar": true, "fail": {"step": "interstitial", "kind": "no_wssid"}})", "wssid", "interstitial", {"YahooMailRC"}, {"wssid"}},
        {R"({"fail": {"step": "list", "kind": "fault"}})", "list", "list",
         {"<SOAP-ENV:Fault><faultcode>Client.x</faultcode><faultstring>Service temporarily unavailable.</faultstring>"
          "<detail>Try again in a few minutes.</detail></SOAP-ENV:Fault>"}, {}},
        {R"({"fail": {"step": "flag", "kind": "fault_nodetail"}})", "flag single", "flag single",
         {"<faultstring>Service temporarily unavailable.</faultstring></SOAP-ENV:Fault>"}, {"<detail>"}},
        {R"({"fail": {"step": "list", "kind": "no_list"}})", "list", "list", {"<mid>"}, {"<ListMessagesResponse "}},
        {R"({"fail": {"step": "list", "kind": "mid_no_end"}})", "mid", "list", {"<mid>single</mid>", "<mid>1_1_Ab-c</ListMessagesResponse>"}, {"<mid>1_1_Ab-c</mid>"}},
        {R"({"fail": {"step": "rawheader", "kind": "no_rawheaders", "ids": ["2_7_xy"]}})", "", "rawheader 2_7_xy",
         {"GetMessageRawHeaderResponse"}, {"<rawheaders>"}},
        {R"({"fail": {"step": "getmessage", "kind": "no_text"}})", "", "getmessage 1_1_Ab-c", {"partId=\"1\" type=\"text\""}, {"<text>"}},
        {R"({"fail": {"step": "getmessage", "kind": "no_parts"}})", "", "getmessage single", {"GetMessageResponse"}, {"<part"}},
        {R"({"fail": {"step": "move", "kind": "http500"}})", "move 2_7_xy", "move 2_7_xy", {"500 Internal Server Error"}, {}},
        {R"({"fail": {"step": "download", "kind": "close", "times": 2}})", "download 1_1_Ab-c 2", "download 1_1_Ab-c 2", {}, {}},
        {R"({"download": "lost"})", "", "download 1_1_Ab-c 2", {"/ya/download/file?mid=expired&pid=2\n"}, {"1%5f1%5fAb"}},
        {R"({"fail": {"step": "list", "kind": "no_wssid"}})", "list", "list", {"500 Scenario Error"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        YahooSim sim;
        fill(sim, c.scenario);
        Walk walk(sim);
        walk.run();
        EXPECT_EQ(walk.stopped, c.stopped);
        const SimPage& page = walk.pages[c.page];
        std::string seen = page.url + "\n" + page.text;
        for (const std::string& part : c.in) EXPECT_TRUE(has(seen, part)) << part << " in " << seen;
        for (const std::string& part : c.notIn) EXPECT_FALSE(has(seen, part)) << part << " in " << seen;
        for (const SimRequest& r : sim.requests()) EXPECT_TRUE(r.refused.empty() || r.refused.rfind("scenario: ", 0) == 0) << r.refused;
        EXPECT_EQ(sim.requests().back().path.rfind("/config/login?logout=1&", 0), 0u) << "a sign-out follows every walk";
    }
}

// The checker that judges rebuilt messages: one stored message against received forms
// that must pass (what a faithful rebuild may change) and forms that must not.
TEST(MimeCheck, JudgesWhatARebuildMayAndMayNotChange) {
    const std::string original =
        "From ann@example.com Mon Jan  1 00:00:00 2024\n"
        "From: Ann <ann@example.com>\nTo: tester@yahoo.com\nSubject: Report\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"A\"\n\n"
        "--A\nContent-Type: text/plain; charset=koi8-r; format=flowed\nContent-Transfer-Encoding: 8bit\n\n"
        "\xf0\xd2\xc9\xd7\xc5\xd4\n"
        "--A\nContent-Type: image/png\nContent-ID: <img1@example.com>\nContent-Disposition: inline; filename=\"a.png\"\n"
        "Content-Transfer-Encoding: base64\n\n"
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\n"
        "LS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZ\nWltcXV5fYGFiYw==\n"
        "--A\nContent-Type: message/rfc822\n\nSubject: inner\n\ninner text\n"
        "--A--\n";
    const std::string koi8 = "charset=koi8-r; format=flowed\nContent-Transfer-Encoding: 8bit\n\n\xf0\xd2\xc9\xd7\xc5\xd4";
    const std::string utf8 = "charset=utf-8; format=flowed\nContent-Transfer-Encoding: quoted-printable\n\n=D0=9F=D1=80=D0=B8=D0=B2=D0=B5=D1=82";
    const std::string lines60 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\nLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZ\nWltcXV5fYGFiYw==";
    const std::string lines76 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\nOTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiYw==";
    struct Case {
        std::vector<std::pair<std::string, std::string>> changes; // applied to the original, in order
        std::string reason; // part of the difference named; "" must pass
    } cases[] = {
        {{}, ""},
        {{{"From ann@example.com Mon Jan  1 00:00:00 2024\n", ""}}, ""},
        {{{koi8, utf8}}, ""},
        {{{koi8, utf8}, {"=D0=B2", "=D0=B3"}}, "1: text differs at character 3"},
        {{{"MIME-Version: 1.0\n", "MIME-Version: 1.0\nContent-Transfer-Encoding: 7bit\n"}}, ""},
        {{{"boundary=\"A\"", "boundary=A"}, {"filename=\"a.png\"", "filename*=utf-8''a%2Epng"}, {"Content-ID:", "Content-Id:"}}, ""},
        {{{lines60, lines76}}, ""},
        {{{"Subject: Report", "Subject: report"}}, "TEXT: header field 3 differs"},
        {{{"MIME-Version: 1.0\n", "MIME-Version: 1.0\nX-Extra: 1\n"}}, "header field ('X-Extra', '1') added"},
        {{{"To: tester@yahoo.com\n", ""}}, "TEXT: header field 2 differs"},
        {{{"text/plain; charset=koi8-r", "text/html; charset=koi8-r"}}, "1: content type 'text/plain', received 'text/html'"},
        {{{"; format=flowed", ""}}, "1: type parameters [('format', 'flowed')], received []"},
        {{{"--A\nContent-Type: message/rfc822\n\nSubject: inner\n\ninner text\n", ""}}, "TEXT: 3 parts, received 2"},
        {{{"WltcXV5f", "WltcXV5g"}}, "2: 100 decoded bytes, received 100 (same length, other bytes)"},
        {{{"filename=\"a.png\"", "filename=\"b.png\""}}, "2: file name 'a.png', received 'b.png'"},
        {{{"inline; filename", "attachment; filename"}}, "2: disposition 'inline', received 'attachment'"},
        {{{"<img1@example.com>", "\"<img1@example.com>\""}}, "2: Content-ID '<img1@example.com>', received '\"<img1@example.com>\"'"},
        {{{lines60, "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4O\nTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiYw=="}},
         "2: Base64 line 1 has 77 characters"},
        {{{"Subject: inner", "Subject: Inner"}}, "3 (embedded message): header field 1 differs"},
        {{{"inner text", "inner test"}}, "3 (embedded message): text differs"},
    };
    for (const Case& c : cases) {
        std::string received = original;
        for (const auto& [from, to] : c.changes) {
            size_t at = received.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            received.replace(at, from.size(), to);
        }
        Str crlfText = ToStr(received);
        ReplaceAll(crlfText, "\n", "\r\n");
        SCOPED_TRACE(c.reason.empty() ? received : c.reason);
        std::string why = mimeDifference(original, std::string(View(crlfText)));
        if (c.reason.empty()) {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_TRUE(has(why, c.reason)) << why;
        }
    }
}
