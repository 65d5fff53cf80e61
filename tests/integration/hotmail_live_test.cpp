// The agent end to end against the Windows Live mailbox of the Hotmail stand-in
// (sim/hotmail.py with "mailbox" "classic" or "full"): the frame and mailbox pages, the
// request set of the served build, the inbox listed page by page through the form-post
// service, each source forwarded to a real SMTP server, then moved or marked read. The
// stand-in holds its own copy of the four request sets and refuses any request that
// differs from it, so a run without refusals is one the service takes.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent_home.h"
#include "aiosmtpd.h"
#include "hotmail_sim.h"
#include "testca.h"
#include "testutil.h"

namespace {

const std::string kAddr = "tester@hotmail.com";
const std::string kPassword = "secret";

// Five messages, oldest first: text that looks like the page's own markup, an error
// marker of the service, entity-like text, a line longer than the agent holds at once.
std::vector<std::string> fiveMessages() {
    return {
        "From: =?utf-8?q?=C3=85sa?= <asa@example.com>\nTo: tester@hotmail.com\nSubject: r\xc3\xa4ksm\xc3\xb6rg\xc3\xa5s\n"
        "Content-Type: text/plain; charset=utf-8\n\nGr\xc3\xbc\xc3\x9f"
        "e & <b>bold</b> \"quoted\"\n.\n.starts with a dot\n",
        "From: Ops <ops@example.com>\nSubject: quoting the service\n\nThe page said HM.FppError(1,\"busy\"); and "
        "<div class=\"errorText\">gone</div>\n",
        "From: Tom <tom@example.com>\nSubject: entities\n\nTom &amp; Jerry, &#13;&#10; a &lt;tag&gt; and &#169; stay\n",
        "From: Pre <pre@example.com>\nSubject: markup\n\n<pre>inside</pre> and </div> and &\n" + std::string(70000, 'x') +
            "\nend\n",
        sampleMessage(60 * 1024, "large"),
    };
}

// An SMTP server that takes the long line whole.
SmtpSinkOptions longLines() {
    SmtpSinkOptions options;
    options.lineLimit = 1 << 20;
    return options;
}

// A stand-in, an SMTP server and an agent home of their own.
struct Rig {
    HotmailSim sim;
    SmtpSink sink{longLines()};
    AgentHome home;

    void configure(bool leave) {
        Acct a{kAddr, "", leave, "Hotmail"};
        a.password = kPassword;
        home.settings({record(a)}, sink.server(), sim.agentSettings());
    }

    std::string section() const {
        auto items = home.section(kAddr);
        std::string joined;
        if (items)
            for (const std::string& line : *items) joined += line + "\n";
        return joined;
    }

    // The reasons the stand-in gave for the requests it refused.
    std::vector<std::string> refusals() const {
        std::vector<std::string> reasons;
        for (const SimRequest& r : sim.requests())
            if (!r.refused.empty()) reasons.push_back(r.path + ": " + r.refused);
        return reasons;
    }

    size_t count(const std::string& pathPart) const {
        size_t n = 0;
        for (const SimRequest& r : sim.requests()) n += r.path.find(pathPart) != std::string::npos;
        return n;
    }
};

class HotmailLive : public testing::Test {
protected:
    static void SetUpTestSuite() { ::setenv("SSL_CERT_FILE", testCerts().caCert.c_str(), 1); }
};

// "" when the texts are equal; otherwise where they part, with a little context (the
// messages are too long to print whole).
std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    if (got.size() != want.size())
        return std::to_string(got.size()) + " messages, expected " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        auto [g, w] = std::mismatch(got[i].begin(), got[i].end(), want[i].begin(), want[i].end());
        if (g == got[i].end() && w == want[i].end()) continue;
        size_t at = static_cast<size_t>(g - got[i].begin()), from = at < 20 ? 0 : at - 20;
        return "message " + std::to_string(i + 1) + " differs at byte " + std::to_string(at) + ": got " +
               testing::PrintToString(got[i].substr(from, 40)) + ", expected " +
               testing::PrintToString(want[i].substr(from, 40));
    }
    return "";
}

std::string alertBlock(const std::string& message, const std::string& explanation) {
    return "   Message: " + message + "\r\n   " + explanation;
}

} // namespace

// One run per request set: five messages on two pages arrive byte-identical and oldest
// first, then are moved or marked read; a second run forwards nothing; and a stand-in
// that expects another set refuses the run.
TEST_F(HotmailLive, EachRequestSetForwardsTwoPagesOnceAndAWrongSetFails) {
    struct Case {
        const char* name;
        std::string scenario; // without the braces
        bool leave;
        size_t listRequests; // a repeated last page (always with sets C and D) is one more
        const char* otherSet;
    } cases[] = {
        {"A classic", R"("mailbox": "classic", "build": "15.0.2918.0806", "inbox_link": "absolute")", false, 2, "B"},
        {"B full", R"("mailbox": "full", "build": "_15.2.2810.0505", "frame": "spaced", "escaped_rows": true,
                      "repeat_page": true)",
         true, 3, "A"},
        {"C full", R"("mailbox": "full", "build": "_15.3.2512.0712", "frame": "none", "live_line_ends": "entity")",
         false, 3, "D"},
        {"D full", R"("mailbox": "full", "build": "_15.4.0317.1530", "skip_mailaspx": true, "escaped_rows": true)", true,
         3, "C"},
    };
    const auto messages = fiveMessages();
    const std::string kListed = "M5\tF\nM4\tF\nM3\tF\nM2\tF\nM1\tF\n"; // in listing order
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.sim.scenario("{" + c.scenario + "}");
        const auto ids = rig.sim.fill(messages);
        rig.configure(c.leave);

        RunResult first = rig.home.run();
        EXPECT_EQ(difference(received(rig.sink), crlfAll(messages)), "") << rig.home.log();
        EXPECT_TRUE(rig.refusals().empty()) << testing::PrintToString(rig.refusals());
        EXPECT_TRUE(alertActions(rig.home.log()).empty()) << rig.home.log();
        EXPECT_EQ(rig.count("MailBox.GetInboxData&"), c.listRequests);
        if (c.leave) {
            EXPECT_EQ(rig.sim.inbox(), ids);
            EXPECT_EQ(rig.sim.read(), ids);
            EXPECT_EQ(rig.section(), kListed);
        } else {
            EXPECT_TRUE(rig.sim.inbox().empty());
            EXPECT_EQ(rig.sim.trash(), ids);
            EXPECT_EQ(rig.section(), "");
        }

        rig.sim.clearRequests();
        RunResult second = rig.home.run();
        EXPECT_EQ(rig.sink.count(), messages.size()) << second.out;
        EXPECT_EQ(rig.count("GetMessageSource"), 0u);
        EXPECT_TRUE(rig.refusals().empty()) << testing::PrintToString(rig.refusals());
        if (c.leave) { EXPECT_EQ(rig.section(), kListed); }

        rig.sim.scenario("{" + c.scenario + R"(, "expect_set": ")" + c.otherSet + "\"}");
        rig.sim.fill({"Subject: six\n\n6\n"});
        rig.home.run();
        EXPECT_EQ(rig.sink.count(), messages.size());
        std::string log = rig.home.log();
        EXPECT_NE(log.find(alertBlock("Hotmail server returned an error.",
                                      "Stand-in refused the request: inbox request body")),
                  std::string::npos)
            << log;
        EXPECT_EQ(alertActions(log).back(), "Skip to next account") << log;
    }
}

// A classic sign-in whose frame is the inbox itself asks for no other page before the
// listing, and sends that page as the Referer of every fetch.
TEST_F(HotmailLive, DirectLandingOnTheInboxMakesNoExtraRequest) {
    Rig rig;
    rig.sim.scenario(R"({"mailbox": "classic", "direct_inbox": true})");
    const std::vector<std::string> messages = {"Subject: one\n\n1\n", "Subject: two\n\n2\n"};
    rig.sim.fill(messages);
    rig.configure(true);
    RunResult r = rig.home.run();
    EXPECT_EQ(difference(received(rig.sink), crlfAll(messages)), "") << rig.home.log();
    EXPECT_TRUE(rig.refusals().empty()) << testing::PrintToString(rig.refusals());

    std::vector<std::string> paths;
    std::string inboxUrl;
    for (const SimRequest& req : rig.sim.requests()) {
        if (req.role != "mail") continue;
        paths.push_back(req.path.substr(0, req.path.find('?')));
        if (paths.back() == "/mail/InboxLight.aspx") inboxUrl = "http://" + rig.sim.mailHost() + req.path;
        if (paths.back() == "/mail/GetMessageSource.aspx") { EXPECT_EQ(req.header("Referer"), inboxUrl); }
    }
    ASSERT_GE(paths.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.begin() + 3),
              (std::vector<std::string>{"/cgi-bin/wsignin", "/mail/InboxLight.aspx", "/mail/mail.fpp"}));
}

// An inbox page without rows ends the listing even when it shows a next-page link.
TEST_F(HotmailLive, AnEmptyPageEndsTheListing) {
    for (const char* build : {"_15.2.0000.0000", "_15.4.0317.0921"}) {
        SCOPED_TRACE(build);
        Rig rig;
        rig.sim.scenario(std::string(R"({"mailbox": "full", "link_on_empty": true, "repeat_page": true, "build": ")") +
                         build + "\"}");
        rig.configure(false);
        rig.home.run();
        EXPECT_TRUE(alertActions(rig.home.log()).empty()) << rig.home.log();
        EXPECT_EQ(rig.count("MailBox.GetInboxData&"), 1u) << testing::PrintToString(rig.refusals());
    }
}

// Either line-end form, a body one byte short or without its last chunk, and the three
// ways the <pre> block is written all give the message as it was stored.
TEST_F(HotmailLive, SourcePageFormsAllForwardTheMessageIntact) {
    const char* forms[] = {
        R"("live_line_ends": "crlf")",
        R"("live_line_ends": "entity")",
        R"("live_line_ends": "crlf", "pre_inline": true)",
        R"("live_line_ends": "entity", "pre_inline": true)",
        R"("live_line_ends": "crlf", "close_inline": true)",
        R"("live_line_ends": "entity", "close_inline": true)",
        R"("live_line_ends": "crlf", "no_close": true)",
        R"("live_line_ends": "entity", "no_close": true)",
        R"("live_line_ends": "crlf", "body": {"step": "source", "mode": "short1"})",
        R"("live_line_ends": "entity", "body": {"step": "source", "mode": "chunked_nolast", "at": 100})",
    };
    const std::vector<std::string> messages = {
        "From: a@example.com\nSubject: first & <last>\n\nline one\n\nline \"three\"\n",
        sampleMessage(20 * 1024, "pieces"),
    };
    for (const char* form : forms) {
        SCOPED_TRACE(form);
        Rig rig;
        rig.sim.scenario(std::string(R"({"mailbox": "full", )") + form + "}");
        rig.sim.fill(messages);
        rig.configure(false);
        RunResult r = rig.home.run();
        EXPECT_EQ(difference(received(rig.sink), crlfAll(messages)), "") << rig.home.log();
        EXPECT_TRUE(rig.refusals().empty()) << testing::PrintToString(rig.refusals());
        EXPECT_TRUE(alertActions(rig.home.log()).empty()) << rig.home.log();
    }
}

// Each failure the Live mailbox can answer with, at the step where it happens: the alert
// names it exactly, the error log holds the page when there was one, and no password is
// written anywhere. Server error pages and broken pages skip the account after its retry;
// a row without an id and an unusable next-page link are notes, and what was listed is
// forwarded.
TEST_F(HotmailLive, EveryFailureIsReportedWithItsTextAndThePageButNoPassword) {
    const std::string loginFailed = "Login failed for account " + kAddr + ".";
    const std::string serverError = "Hotmail server returned an error.";
    const std::string badData = "Error found in Hotmail server data.";
    const std::string listNote = "Error found in Hotmail message list.";
    struct Case {
        std::string scenario; // mailbox, then the rule
        std::string message;
        std::string explanation; // its first line
        size_t forwarded = 0;
        bool pageLogged = true; // a page to log: not a failed request, not a note
        bool leave = false;
    } cases[] = {
        {R"("classic", "fail": {"step": "wsignin", "kind": "no_frame_src"})", loginFailed,
         "Login sequence (6) error - login URL not found."},
        {R"("classic", "fail": {"step": "today", "kind": "no_inbox_link"})", loginFailed,
         "Login sequence (7) error - Inbox URL not found."},
        {R"("classic", "fail": {"step": "inbox", "kind": "no_build"})", loginFailed,
         "Login sequence (7) error - version value not found."},
        {R"("classic", "fail": {"step": "inbox", "kind": "no_sessionid"})", loginFailed,
         "Login sequence (7) error - sessionId value not found."},
        {R"("classic", "fail": {"step": "inbox", "kind": "no_authuser"})", loginFailed,
         "Login sequence (7) error - authuser value not found."},
        {R"("full", "fail": {"step": "frame", "kind": "no_mailaspx"})", loginFailed,
         "Login sequence (7) error - login URL not found."},
        {R"("full", "fail": {"step": "mailaspx", "kind": "no_appmain"})", loginFailed,
         "Login sequence (8) error - login URL not found."},
        {R"("full", "fail": {"step": "appmain", "kind": "no_version"})", loginFailed,
         "Login sequence (8) error - version value not found."},
        {R"("full", "fail": {"step": "appmain", "kind": "no_sessionidhash"})", loginFailed,
         "Login sequence (8) error - sessionidhash value not found."},
        {R"("full", "fail": {"step": "appmain", "kind": "no_authuser8"})", loginFailed,
         "Login sequence (8) error - authuser value not found."},
        {R"("full", "fail": {"step": "list", "kind": "no_list_marker"})", badData, "Message directory list data not found."},
        {R"("classic", "fail": {"step": "list", "kind": "no_list_end"})", badData,
         "Message directory list data end tag not found."},
        {R"("full", "fail": {"step": "list", "kind": "no_row_end"})", badData,
         "Message directory list entry end tag not found."},
        {R"("full", "fail": {"step": "list", "kind": "row_without_id"})", listNote, "Some messages may not be forwarded.",
         2, false},
        {R"("full", "fail": {"step": "list", "kind": "bad_next_link"})", listNote, "Some messages may not be forwarded.",
         2, false},
        {R"("full", "page_size": 1, "build": "_15.2.0000.0000", "fail": {"step": "list", "kind": "bad_next_link"})",
         listNote, "Some messages may not be forwarded.", 1, false},
        {R"("full", "fail": {"step": "source", "kind": "no_pre"})", badData, "Message data header not found."},
        {R"("classic", "fail": {"step": "source", "kind": "no_trailer"})", badData, "Message data trailer not found."},
        {R"("full", "fail": {"step": "source", "kind": "errortext_in_source"})", serverError,
         "This message could not be shown."},
        {R"("full", "fail": {"step": "frame", "kind": "toobusy"})", serverError, "Server too busy."},
        {R"("classic", "fail": {"step": "today", "kind": "fm_shell"})", serverError, "Mailbox is unavailable"},
        {R"("classic", "fail": {"step": "inbox", "kind": "machinedown"})", serverError,
         "The server that holds your account information is temporarily unavailable."},
        {R"("full", "fail": {"step": "mailaspx", "kind": "fpp"})", serverError, "The action could not be completed."},
        {R"("full", "fail": {"step": "appmain", "kind": "errortext"})", serverError,
         "Your mailbox & folders are unavailable."},
        {R"("classic", "fail": {"step": "list", "kind": "fpp"})", serverError, "The action could not be completed."},
        {R"("full", "fail": {"step": "list", "kind": "http500"})", serverError, "500 Internal Server Error", 0, false},
        {R"("classic", "fail": {"step": "source", "kind": "toobusy"})", serverError, "Server too busy."},
        {R"("full", "fail": {"step": "source", "kind": "fpp"})", serverError, "The action could not be completed."},
        {R"("full", "fail": {"step": "source", "kind": "machinedown"})", serverError,
         "The server that holds your account information is temporarily unavailable."},
        {R"("classic", "fail": {"step": "move", "kind": "errortext"})", serverError,
         "Your mailbox & folders are unavailable.", 1},
        {R"("full", "fail": {"step": "mark", "kind": "http500"})", serverError, "500 Internal Server Error", 2, false,
         true},
        {R"("classic", "fail": {"step": "mark", "kind": "errortext"})", serverError,
         "Your mailbox & folders are unavailable.", 2, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Rig rig;
        rig.sim.scenario(R"({"mailbox": )" + c.scenario + "}");
        rig.sim.fill({"Subject: first\n\n1\n", "Subject: second\n\n2\n"});
        rig.configure(c.leave);
        rig.home.run({"-d"});
        std::string log = rig.home.log();
        EXPECT_NE(log.find(alertBlock(c.message, c.explanation)), std::string::npos) << log;
        bool note = c.message == listNote;
        EXPECT_EQ(alertActions(log).back(), note ? "Continue" : "Skip to next account") << log;
        EXPECT_EQ(rig.sink.count(), c.forwarded) << log;
        EXPECT_TRUE(rig.refusals().empty()) << testing::PrintToString(rig.refusals());
        std::string errors = fileExists(rig.home.file("Library/Logs/Tarnwell Error.log"))
                                 ? readFile(rig.home.file("Library/Logs/Tarnwell Error.log"))
                                 : "";
        if (c.pageLogged) { EXPECT_NE(errors.find("Rcv:\n"), std::string::npos) << errors; }
        for (const std::string& file : {errors, log, rig.home.trace()}) {
            EXPECT_EQ(file.find(kPassword), std::string::npos);
            EXPECT_EQ(file.find("PwdPad=IfYou"), std::string::npos);
        }
    }
}
