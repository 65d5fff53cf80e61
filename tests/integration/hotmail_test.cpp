// The agent end to end against the Hotmail stand-in (sim/hotmail.py): sign-in, the CGI
// inbox over two pages, each message's source forwarded to a real SMTP server, and the
// messages then moved to the trash or marked read. The stand-in refuses any request that
// differs from what the service expects, so a run that works is one the service takes.
#include <gtest/gtest.h>

#include <csignal>

#include "agent_home.h"
#include "aiosmtpd.h"
#include "hotmail_sim.h"
#include "testca.h"
#include "testutil.h"

namespace {

const std::string kAddr = "tester@hotmail.com";
const std::string kPassword = "secret";

std::vector<std::string> sampleMessages() {
    return {
        "From: =?utf-8?q?=C3=85sa?= <asa@example.com>\nTo: tester@hotmail.com\nSubject: r\xc3\xa4ksm\xc3\xb6rg\xc3\xa5s\n"
        "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
        "Gr\xc3\xbc\xc3\x9f"
        "e & <b>bold</b> \"quoted\"\n.\n.starts with a dot\n"
        "A page answering HM.FppError( is an error page; this message only talks about one.\n",
        "From: Tom <tom@example.com>\nSubject: entities\n\nTom &amp; Jerry, a &lt;tag&gt; and &#169; stay as written\n",
        sampleMessage(300 * 1024, "large"),
    };
}

class Hotmail : public testing::Test {
protected:
    static void SetUpTestSuite() { ::setenv("SSL_CERT_FILE", testCerts().caCert.c_str(), 1); }

    void configure(bool leave, const std::string& type = "Hotmail") {
        Acct a{kAddr, "", leave, type};
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

    HotmailSim sim;
    SmtpSink sink;
    AgentHome home;
};

} // namespace

TEST_F(Hotmail, DeleteModeForwardsInPageOrderThenMovesToTheTrash) {
    sim.scenario(R"({"page_size": 2})");
    const auto messages = sampleMessages();
    const auto ids = sim.fill(messages);
    configure(false);

    RunResult first = home.run();
    EXPECT_EQ(received(sink), crlfAll(messages)) << first.out << home.log();
    EXPECT_TRUE(sim.inbox().empty());
    EXPECT_EQ(sim.trash(), ids);
    EXPECT_EQ(section(), "");
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
    auto status = statusLines(first.out);
    for (const char* line : {"Connecting to Hotmail server", "Getting mail list", "Forwarding message 3 of 3",
                             "Clearing message 3 of 3"})
        EXPECT_TRUE(has(status, kAddr + "\t" + line)) << line << "\n" << first.out;

    sim.clearRequests();
    home.run();
    EXPECT_EQ(sink.count(), 3u);
    for (const auto& r : sim.requests()) EXPECT_EQ(r.path.find("getmsg"), std::string::npos) << r.path;
}

TEST_F(Hotmail, LeaveModeMarksReadAndRemembersWithLfPages) {
    sim.scenario(R"({"page_size": 2, "line_ends": "lf", "intermediate_form": false})");
    const auto messages = sampleMessages();
    const auto ids = sim.fill(messages);
    configure(true, "MSN");

    RunResult first = home.run();
    EXPECT_EQ(received(sink), crlfAll(messages)) << first.out << home.log();
    EXPECT_TRUE(has(statusLines(first.out), kAddr + "\tConnecting to MSN server")) << first.out;
    EXPECT_EQ(sim.inbox(), ids);
    EXPECT_EQ(sim.read(), ids);
    EXPECT_EQ(section(), "M1\tF\nM2\tF\nM3\tF\n");

    home.run();
    EXPECT_EQ(sink.count(), 3u);
    EXPECT_EQ(section(), "M1\tF\nM2\tF\nM3\tF\n");
}

// The move fails on the first try and again in the retry's clean-up, so the account is
// skipped with the message forwarded but still in the inbox.
TEST_F(Hotmail, AFailedMoveIsFinishedByTheNextRunWithoutForwardingAgain) {
    sim.scenario(R"({"fail": {"step": "move", "kind": "errortext", "ids": ["M2"], "times": 2}})");
    const std::vector<std::string> messages = {"Subject: one\n\n1\n", "Subject: two\n\n2\n", "Subject: three\n\n3\n"};
    sim.fill(messages);
    configure(false);

    RunResult first = home.run();
    EXPECT_EQ(sink.count(), 2u) << first.out << home.log();
    EXPECT_EQ(sim.inbox(), (std::vector<std::string>{"M2", "M3"}));
    EXPECT_EQ(section(), "M2\tD\n");
    EXPECT_EQ(alertActions(home.log()), (std::vector<std::string>{"Retry account", "Skip to next account"}));
    EXPECT_NE(home.log().find("Your mailbox & folders are unavailable."), std::string::npos) << home.log();

    RunResult second = home.run();
    EXPECT_EQ(received(sink), crlfAll(messages)) << second.out;
    EXPECT_TRUE(has(statusLines(second.out), kAddr + "\tPerforming message cleanup")) << second.out;
    EXPECT_TRUE(sim.inbox().empty());
    EXPECT_EQ(section(), "");
}

// Source pages that bend the layout: marker lines with blanks, the close on the last
// line, and pages with LF line ends; each message still arrives whole.
TEST_F(Hotmail, SourcePageQuirksForwardTheMessageWhole) {
    configure(false);
    const std::string message = "Subject: quirk\n\n<p>a &amp; b</p>\nlast line\n";
    int n = 0;
    for (const char* scenario : {R"({"pre_trailing_blanks": true})", R"({"pre_close_inline": true})",
                                 R"({"pre_trailing_blanks": true, "pre_close_inline": true, "line_ends": "lf"})"}) {
        SCOPED_TRACE(scenario);
        sim.scenario(scenario);
        sink.clear();
        sim.addMessage("Q" + std::to_string(++n), message);
        RunResult r = home.run();
        EXPECT_EQ(received(sink), crlfAll({message})) << r.out << home.log();
        EXPECT_TRUE(sim.inbox().empty());
    }
}

// Each failure the service can answer with, at the step where it happens: the alert
// names it exactly, the error log holds the page, and no password is written anywhere.
TEST_F(Hotmail, EveryFailureIsReportedWithItsTextAndThePageButNoPassword) {
    struct Case {
        std::string scenario;
        std::string message;
        std::string explanation; // its start, lines as the log indents them
    } cases[] = {
        {R"({"password": "other"})", "Login failed for account " + kAddr + ".", "The e-mail address or password is incorrect."},
        {R"({"fail": {"step": "login", "kind": "locked"}})", "Login failed for account " + kAddr + ".",
         "Check the account information in the Preferences dialog."},
        {R"({"fail": {"step": "login", "kind": "login_error"}})", "Hotmail server returned an error.",
         "Sign-in refused\r\n   The account is blocked for a while."},
        {R"({"fail": {"step": "login", "kind": "login_error_code"}})", "Hotmail server returned an error.",
         "Login error 80041012\r\n"},
        {R"({"fail": {"step": "form", "kind": "no_wsignin"}})", "Login failed for account " + kAddr + ".",
         "Login sequence (4) error - login URL not found."},
        {R"({"fail": {"step": "wsignin", "kind": "no_sbox_url"}})", "Login failed for account " + kAddr + ".",
         "Login sequence (5) error - login URL not found."},
        {R"({"fail": {"step": "wsignin", "kind": "no_cookie_url"}})", "Login failed for account " + kAddr + ".",
         "Login sequence (5) error - cookie URL not found."},
        {R"({"fail": {"step": "sbox", "kind": "no_home"}})", "Login failed for account " + kAddr + ".",
         "Login sequence (6) error - Inbox URL not found."},
        {R"({"fail": {"step": "home", "kind": "no_inbox"}})", "Login failed for account " + kAddr + ".",
         "Login sequence (7) error - Inbox URL not found."},
        {R"({"fail": {"step": "dir", "kind": "no_trash"}})", "Error found in Hotmail message list.",
         "Trash folder link not found."},
        {R"({"fail": {"step": "sbox", "kind": "toobusy"}})", "Hotmail server returned an error.", "Server too busy."},
        {R"({"fail": {"step": "home", "kind": "fm_shell"}})", "Hotmail server returned an error.", "Mailbox is unavailable"},
        {R"({"fail": {"step": "cookie", "kind": "machinedown"}})", "Hotmail server returned an error.",
         "The server that holds your account information is temporarily unavailable."},
        {R"({"fail": {"step": "getmsg", "kind": "fpp"}})", "Hotmail server returned an error.",
         "The action could not be completed."},
        {R"({"fail": {"step": "wsignin", "kind": "errortext"}})", "Hotmail server returned an error.",
         "Your mailbox & folders are unavailable."},
    };
    sim.fill({"Subject: kept\n\nbody\n"});
    configure(false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        sim.scenario(c.scenario);
        RunResult r = home.run({"-d"});
        std::string log = home.log();
        EXPECT_NE(log.find("   Message: " + c.message + "\r\n   " + c.explanation), std::string::npos) << log;
        EXPECT_EQ(alertActions(log).back(), "Skip to next account") << log;
        std::string errors = readFile(home.file("Library/Logs/Tarnwell Error.log"));
        EXPECT_NE(errors.find("Rcv:\n"), std::string::npos) << errors;
        for (const std::string& file : {errors, log, home.trace()}) {
            EXPECT_EQ(file.find(kPassword), std::string::npos);
            EXPECT_EQ(file.find("PwdPad=IfYou"), std::string::npos);
        }
        EXPECT_EQ(sink.count(), 0u);
        std::remove(home.file("Library/Logs/Tarnwell.log").c_str());
    }
}

TEST_F(Hotmail, PagingThatNeverEndsStopsAndSigtermStopsQuietly) {
    sim.scenario(R"({"page_size": 1, "repeat_paging": true})");
    sim.fill({"Subject: one\n\n1\n", "Subject: two\n\n2\n"});
    configure(true);
    RunResult r = home.run();
    EXPECT_EQ(sink.count(), 2u) << r.out << home.log();
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();

    // Each directory page now comes in two writes with a pause between them, so the
    // listing of twenty pages is still going on when the signal comes.
    sim.scenario(R"({"page_size": 1, "body": {"step": "dir", "mode": "split", "at": 10}})");
    std::vector<std::string> many;
    for (int i = 0; i < 20; ++i) many.push_back("Subject: more " + std::to_string(i) + "\n\nx\n");
    sim.fill(many);
    sim.clearRequests();
    auto agent = home.start();
    ASSERT_TRUE(agent->waitForLine("updateStatus\t" + kAddr + "\tGetting mail list", kRunSeconds));
    agent->signal(SIGTERM);
    RunResult stopped = agent->finish(kRunSeconds);
    EXPECT_EQ(sink.count(), 2u) << stopped.out;
    size_t pages = 0;
    for (const auto& req : sim.requests()) pages += req.path.find("/cgi-bin/HoTMaiL?page=") == 0;
    EXPECT_LE(pages, 3u) << "the listing went on after the stop";
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
}
