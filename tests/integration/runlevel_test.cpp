// Whole runs of the built agent at their edges: which accounts a run takes, retry and
// skip, stop requests, interrupted deletions and retrievals, refused SMTP steps, the
// presets' servers and the exact status protocol. Real Dovecot and aiosmtpd where they
// can play the scenario; a relay that cuts or holds a real session at a chosen point
// where the timing must be exact; a scripted server for a refused login.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <unistd.h>

#include "agent_home.h"
#include "agent_runner.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "cutting_proxy.h"
#include "dovecot.h"
#include "prefs.h"
#include "scripted_server.h"
#include "suites.h"
#include "testutil.h"

namespace {

// One Dovecot and one faultless SMTP server serve the whole suite; each test starts
// with both empty.
class RunLevel : public MailServersSuite {
protected:
    void SetUp() override {
        box_->clearMailbox();
        sink_->clear();
    }
    static void fill(const std::vector<std::string>& texts) {
        for (const std::string& t : texts) box_->addMessage(t);
    }

    Dovecot& box = *box_;
    SmtpSink& sink = *sink_;
};


const std::vector<std::string> kThree = {
    "From: one@example.com\nSubject: one\n\nfirst\n",
    sampleMessage(30000, "two"),
    "From: three@example.com\nSubject: three\n\n.\nthird\n",
};

} // namespace

TEST_F(RunLevel, TakesEnabledAccountsInOrderUntilAnEmptyAddress) {
    fill({"Subject: hello\n\nbody\n"});
    std::string pop = local(box.popPort());
    // The list ends at the first empty address, whether the whole record is empty or
    // only its address; the accounts after it are never reached.
    for (const std::string& end : {std::string(), record({"", pop})}) {
        SCOPED_TRACE(end.empty() ? "empty record" : "empty address");
        sink.clear();
        AgentHome home;
        home.settings({record({"a@example.com", pop}), record({"b@example.com", pop, true, "POP", false, false}),
                       record({"c@example.com", pop}), end, record({"e@example.com", pop})},
                      sink.server());
        RunResult r = home.run();
        EXPECT_EQ(statusAccounts(r.out), (std::vector<std::string>{"a@example.com", "c@example.com"})) << r.out;
        EXPECT_TRUE(has(summaryLines(r.out), "   2 accounts processed")) << r.out;
        EXPECT_TRUE(has(statusLines(r.out), "None\tDone"));
        std::vector<ReceivedMail> mails = sink.messages();
        ASSERT_EQ(mails.size(), 2u) << home.log();
        EXPECT_EQ(mails[0].from, "a@example.com");
        EXPECT_EQ(mails[1].from, "c@example.com");
        EXPECT_TRUE(home.section("a@example.com"));
        EXPECT_TRUE(home.section("c@example.com"));
        EXPECT_FALSE(home.section("b@example.com"));
        EXPECT_FALSE(home.section("e@example.com"));
        EXPECT_EQ(home.log().find("Forwarding mail for b@example.com"), std::string::npos);
    }
}

TEST_F(RunLevel, LoginRefusedOnceIsRetriedFromAFreshConnection) {
    std::string login = std::string("C: USER ") + Dovecot::kUser + "\nS: +OK\nC: PASS " + Dovecot::kPassword + "\n";
    ScriptedServer server("S: +OK ready\n" + login +
                          "S: -ERR [AUTH] Authentication failed.\n"
                          "ACCEPT\n"
                          "S: +OK ready\n" + login +
                          "S: +OK Logged in.\n"
                          "C: CAPA\nS: -ERR\n"
                          "C: RSET\nS: +OK\n"
                          "C: UIDL\nS: +OK\nS: 1 uid-one\nS: .\n"
                          "C: RETR 1\nS: +OK\nS: Subject: retried\nS:\nS: body\nS: .\n"
                          "C: QUIT\nS: +OK bye\n");
    AgentHome home;
    home.settings({record({"a@example.com", local(server.port())})}, sink.server());
    RunResult r = home.run({"-d"});
    EXPECT_EQ(server.result(), "");
    EXPECT_EQ(server.connections(), 2);
    std::string log = home.log();
    EXPECT_EQ(alertActions(log), std::vector<std::string>{"Retry account"}) << log;
    EXPECT_NE(log.find("Authentication failed."), std::string::npos) << log;
    std::vector<std::string> summary = summaryLines(r.out);
    EXPECT_TRUE(has(summary, "   1 account processed")) << r.out;
    EXPECT_TRUE(has(summary, "   1 account completed with retry")) << r.out;
    EXPECT_FALSE(has(summary, "   1 account skipped with errors"));
    EXPECT_EQ(received(sink), std::vector<std::string>{"Subject: retried\r\n\r\nbody\r\n"});
    EXPECT_EQ(home.section("a@example.com"), std::vector<std::string>{"uid-one\tF"});
}

TEST_F(RunLevel, AccountFailingTwiceIsSkippedAndTheNextOneStillRuns) {
    fill({"Subject: for the second account\n\nbody\n"});
    std::string pop = local(box.popPort());
    AgentHome home;
    Acct wrong{"a@example.com", pop};
    wrong.password = "not-the-password";
    home.settings({record(wrong), record({"c@example.com", pop})}, sink.server());
    RunResult r = home.run({"-d"});
    std::string log = home.log();
    EXPECT_EQ(alertActions(log), (std::vector<std::string>{"Retry account", "Skip to next account"})) << log;
    EXPECT_EQ(linesAfter(log, "   Account: "), (std::vector<std::string>{"a@example.com\r", "a@example.com\r"}));
    std::vector<std::string> summary = summaryLines(r.out);
    EXPECT_TRUE(has(summary, "   2 accounts processed")) << r.out;
    EXPECT_TRUE(has(summary, "   1 account skipped with errors")) << r.out;
    // An account given up counts as skipped only, even with "-d".
    for (const std::string& line : summary) EXPECT_EQ(line.find("completed with retry"), std::string::npos) << line;
    ASSERT_EQ(sink.count(), 1u);
    EXPECT_EQ(sink.messages()[0].from, "c@example.com");
    // A login that never succeeded leaves no section behind.
    EXPECT_FALSE(home.section("a@example.com"));
    EXPECT_TRUE(home.section("c@example.com"));
}

TEST_F(RunLevel, StopWhileTheNextAccountConnectsEndsTheRunWithItsSummary) {
    fill({"Subject: first account\n\nbody\n"});
    ScriptedServer silent("STALL\n"); // accepts and never greets
    AgentHome home;
    home.settings({record({"a@example.com", local(box.popPort())}), record({"b@example.com", local(silent.port())}),
                   record({"c@example.com", local(box.popPort())})},
                  sink.server());
    auto agent = home.start();
    ASSERT_TRUE(agent->waitForLine("updateStatus\tb@example.com\tConnecting to POP Server", kRunSeconds)) << agent->out();
    agent->signal(SIGTERM);
    RunResult r = agent->finish(kRunSeconds);
    EXPECT_EQ(r.exitStatus, 0);

    std::vector<std::string> status = statusLines(r.out);
    EXPECT_TRUE(has(status, "None\tStopped")) << r.out;
    EXPECT_FALSE(has(status, "None\tDone")) << r.out;
    EXPECT_EQ(statusAccounts(r.out), (std::vector<std::string>{"a@example.com", "b@example.com"}));
    std::vector<std::string> summary = summaryLines(r.out);
    ASSERT_GE(summary.size(), 4u) << r.out;
    EXPECT_EQ(summary[summary.size() - 3].rfind("Tarnwell run completed: ", 0), 0u) << r.out;
    EXPECT_EQ(summary[summary.size() - 2], "   2 accounts processed");
    EXPECT_EQ(summary.back(), "----------");
    std::string log = home.log();
    EXPECT_NE(log.find("Tarnwell run canceled by user request"), std::string::npos);
    EXPECT_TRUE(alertActions(log).empty()) << log; // a stop is not a failure
    EXPECT_EQ(silent.clientBytes(), "");
    // The finished account's index is written; the interrupted one's listing never
    // completed, so it has none.
    auto a = home.section("a@example.com");
    ASSERT_TRUE(a) << home.index();
    ASSERT_EQ(a->size(), 1u);
    EXPECT_EQ(a->front().substr(a->front().size() - 2), "\tF");
    EXPECT_FALSE(home.section("b@example.com"));
    EXPECT_EQ(sink.count(), 1u);
}

TEST_F(RunLevel, StatusRequestAndStopWhileForwarding) {
    fill(kThree);
    CuttingProxy proxy(box.popPort(), ProxyFault{"RETR 2", 0, ProxyFault::Action::Hold});
    AgentHome home;
    home.settings({record({"a@example.com", local(proxy.port())})}, sink.server());
    auto agent = home.start();
    ASSERT_TRUE(agent->waitForLine("updateStatus\ta@example.com\tForwarding message 2 of 3", kRunSeconds))
        << agent->out();
    // While the server holds its answer, a status request repeats the last status line.
    // The agent has sent RETR once the relay holds it, so it has long finished writing
    // the status line: a request during that write could go unanswered.
    ASSERT_TRUE(proxy.waitStruck(1, kRunSeconds));
    agent->signal(SIGUSR2);
    EXPECT_TRUE(agent->waitForLine("updateStatus\ta@example.com\tForwarding message 2 of 3", kRunSeconds))
        << agent->out();
    agent->signal(SIGINT);
    RunResult first = agent->finish(kRunSeconds);
    EXPECT_EQ(first.exitStatus, 0);
    EXPECT_TRUE(has(statusLines(first.out), "None\tStopped")) << first.out;
    EXPECT_FALSE(has(statusLines(first.out), "None\tDone"));
    EXPECT_TRUE(has(summaryLines(first.out), "   1 account processed"));
    EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
    EXPECT_EQ(received(sink), std::vector<std::string>{crlf(kThree[0])});
    auto forwarded = home.section("a@example.com");
    ASSERT_TRUE(forwarded && forwarded->size() == 1u) << home.index();

    proxy.setFault(std::nullopt);
    RunResult second = home.run();
    EXPECT_TRUE(has(statusLines(second.out), "None\tDone"));
    EXPECT_NE(home.log().find("   2 new messages found"), std::string::npos);
    EXPECT_EQ(received(sink), crlfAll(kThree));
    EXPECT_EQ(home.section("a@example.com")->size(), 3u) << home.index();
    EXPECT_EQ(home.section("a@example.com")->front(), forwarded->front());
}

TEST_F(RunLevel, DeletionCutBeforeItIsCommittedIsFinishedByTheNextRunWithoutForwardingAgain) {
    struct Case {
        std::string type;
        int port;
        std::string commit; // the command that makes the deletions final
    };
    for (const Case& c : {Case{"POP", box.popPort(), "QUIT"}, Case{"IMAP", box.imapPort(), " UID EXPUNGE "}}) {
        SCOPED_TRACE(c.type);
        box.clearMailbox();
        sink.clear();
        fill({kThree[0], kThree[2]});
        CuttingProxy proxy(c.port, ProxyFault{c.commit});
        AgentHome home;
        home.settings({record({"a@example.com", local(proxy.port()), false, c.type})}, sink.server());

        // Both attempts of the first run lose the command: the server never commits.
        RunResult first = home.run();
        EXPECT_EQ(proxy.struck(), 2);
        EXPECT_EQ(alertActions(home.log()), (std::vector<std::string>{"Retry account", "Skip to next account"}));
        EXPECT_EQ(received(sink), crlfAll({kThree[0], kThree[2]}));
        EXPECT_EQ(box.messages().size(), 2u);
        auto pending = home.section("a@example.com");
        ASSERT_TRUE(pending && pending->size() == 2u) << home.index();
        for (const std::string& item : *pending) EXPECT_EQ(item.substr(item.size() - 2), "\tD") << home.index();
        // The retry already found them marked: clean-up, not forwarding.
        EXPECT_TRUE(has(statusLines(first.out), "a@example.com\tPerforming message cleanup")) << first.out;

        proxy.setFault(std::nullopt);
        RunResult second = home.run();
        std::vector<std::string> status = statusLines(second.out);
        EXPECT_TRUE(has(status, "a@example.com\tPerforming message cleanup")) << second.out;
        EXPECT_FALSE(has(status, "a@example.com\tConnecting to SMTP server")) << second.out;
        EXPECT_NE(home.log().find("   0 new messages found"), std::string::npos);
        EXPECT_EQ(sink.count(), 2u);
        EXPECT_TRUE(box.messages().empty());
        EXPECT_EQ(home.section("a@example.com"), std::vector<std::string>{}) << home.index();
    }
}

TEST_F(RunLevel, RetrievalBrokenInsideAMessageIsRetriedWithoutDuplicates) {
    struct Case {
        std::string type;
        int port;
        std::string fetch; // the end of the command that asks for a message
    };
    for (const Case& c : {Case{"POP", box.popPort(), "RETR "}, Case{"IMAP", box.imapPort(), " RFC822\r\n"}}) {
        SCOPED_TRACE(c.type);
        box.clearMailbox();
        sink.clear();
        fill(kThree);
        // The second message breaks off 10,000 bytes into the server's answer, once.
        ProxyFault cut{c.fetch, 10000, ProxyFault::Action::Cut, 1, 2};
        CuttingProxy proxy(c.port, cut);
        AgentHome home;
        home.settings({record({"a@example.com", local(proxy.port()), true, c.type})}, sink.server());
        RunResult r = home.run();
        EXPECT_EQ(proxy.struck(), 1);
        std::string log = home.log();
        EXPECT_EQ(alertActions(log), std::vector<std::string>{"Retry account"}) << log;
        EXPECT_NE(log.find("   Status: Forwarding message 2 of 3  ("), std::string::npos) << log;
        EXPECT_NE(log.find("   1 message forwarded"), std::string::npos) << log;
        // Without "-d" the retry is not counted in the summary.
        std::vector<std::string> summary = summaryLines(r.out);
        EXPECT_TRUE(has(summary, "   1 account processed")) << r.out;
        for (const std::string& line : summary) EXPECT_EQ(line.find("retry"), std::string::npos) << line;
        // Nothing partial was saved, and the first message was not sent again.
        EXPECT_EQ(received(sink), crlfAll(kThree));
        EXPECT_EQ(home.section("a@example.com")->size(), 3u) << home.index();
        EXPECT_EQ(box.messages().size(), 3u);
    }
}

TEST_F(RunLevel, PresetsConnectToTheirOwnServers) {
    // The presets' real servers must not be looked up from here: the agent runs in a
    // network namespace of its own, where no name lookup leaves the machine.
    std::vector<std::string> isolate = {"/usr/bin/unshare", "--net"};
    if (::geteuid() != 0) isolate = {"/usr/bin/unshare", "--user", "--map-root-user", "--net"};
    std::vector<std::string> probe = isolate;
    probe.push_back("/bin/true");
    TempDir scratch;
    if (!fileExists(isolate[0]) || runProgram(probe, scratch.path(), 10).exitStatus != 0)
        GTEST_SKIP() << "no network namespace available";

    fill({"Subject: stays\n\nbody\n"});
    AgentHome home;
    home.settings({record({"g@example.com", local(box.popPort()), false, "Gmail"}),
                   record({"aol@example.com", local(box.imapsPort()), true, "AOL", true})},
                  sink.server());
    std::vector<std::string> argv = isolate;
    argv.insert(argv.end(), {kAgent, "-d"});
    RunResult r = runProgram(argv, home.path(), kRunSeconds);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(has(statusLines(r.out), "None\tDone")) << r.out;

    std::string trace = home.trace();
    EXPECT_NE(trace.find("POP address is pop.gmail.com, port is 995"), std::string::npos) << trace;
    EXPECT_NE(trace.find("IMAP address is imap.aol.com, port is 143"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("address is 127.0.0.1"), std::string::npos);

    std::string log = home.log();
    EXPECT_EQ(alertActions(log), (std::vector<std::string>{"Retry account", "Skip to next account", "Retry account",
                                                            "Skip to next account"}))
        << log;
    EXPECT_EQ(linesAfter(log, "   Host not found.").size(), 4u) << log;
    std::vector<std::string> summary = summaryLines(r.out);
    EXPECT_TRUE(has(summary, "   2 accounts processed")) << r.out;
    EXPECT_TRUE(has(summary, "   2 accounts skipped with errors")) << r.out;
    EXPECT_EQ(box.messages().size(), 1u);
}

TEST_F(RunLevel, StatusLinesOfASmallRunFollowTheProtocolExactly) {
    // The second message comes in two pieces: 16 header bytes and 54 lines of 76 reach
    // 4096 at 4,120 bytes; the other 26 lines make 6,096.
    std::string big = "Subject: big\n\n";
    for (int i = 0; i < 80; ++i) big += std::string(74, 'b') + "\n";
    fill({"Subject: one\n\nfirst\n", big, "Subject: three\n\nlast\n"});
    AgentHome home;
    home.settings({record({"a@example.com", local(box.popPort()), false})}, sink.server());
    RunResult r = home.run();

    std::vector<std::string> expected = {"None\tStarting up"};
    for (const char* m : {"Initializing", "Connecting to POP Server", "Getting mail list", "Connecting to SMTP server",
                          "Forwarding message 1 of 3", "Forwarding message 1 of 3  (0K sent)", "Clearing message 1 of 3",
                          "Forwarding message 2 of 3", "Forwarding message 2 of 3  (4K sent)",
                          "Forwarding message 2 of 3  (5K sent)", "Clearing message 2 of 3", "Forwarding message 3 of 3",
                          "Forwarding message 3 of 3  (0K sent)", "Clearing message 3 of 3"})
        expected.push_back(std::string("a@example.com\t") + m);
    expected.push_back("None\tDone");
    EXPECT_EQ(statusLines(r.out), expected) << r.out;

    std::vector<std::string> summary = summaryLines(r.out);
    ASSERT_EQ(summary.size(), 4u) << r.out;
    EXPECT_EQ(summary[0].rfind("Tarnwell run started: ", 0), 0u);
    EXPECT_EQ(summary[1].rfind("Tarnwell run completed: ", 0), 0u);
    EXPECT_EQ(summary[2], "   1 account processed");
    EXPECT_EQ(summary[3], "----------");
    // Nothing else is ever written there.
    EXPECT_EQ(statusLines(r.out).size() + summary.size(), splitLines(r.out).size()) << r.out;
    EXPECT_EQ(sink.count(), 3u);
    EXPECT_TRUE(box.messages().empty());
}

TEST_F(RunLevel, SmtpRefusalOnceIsRetriedAndEveryMessageArrivesOnce) {
    const std::vector<std::string> two = {kThree[0], kThree[2]};
    for (const char* fault : {"MAIL*1=451 4.3.0 Try again later", "DOT*1=452 4.3.1 Insufficient storage"}) {
        SCOPED_TRACE(fault);
        box.clearMailbox();
        fill(two);
        SmtpSink refusing(refusingWith(fault));
        AgentHome home;
        home.settings({record({"a@example.com", local(box.popPort())})}, refusing.server());
        RunResult r = home.run({"-d"});
        std::string log = home.log();
        EXPECT_EQ(alertActions(log), std::vector<std::string>{"Retry account"}) << log;
        EXPECT_NE(log.find(std::string(fault).substr(std::string(fault).find('=') + 1, 3)), std::string::npos) << log;
        EXPECT_TRUE(has(summaryLines(r.out), "   1 account completed with retry")) << r.out;
        EXPECT_EQ(received(refusing), crlfAll(two));
        EXPECT_EQ(home.section("a@example.com")->size(), 2u) << home.index();
    }
}

TEST_F(RunLevel, SmtpRefusingEveryAttemptSkipsTheAccountAndLeavesTheMessagesNew) {
    const std::vector<std::string> two = {kThree[0], kThree[2]};
    fill(two);
    SmtpSink refusing(refusingWith("MAIL=451 4.7.1 Not now"));
    AgentHome home;
    home.settings({record({"a@example.com", local(box.popPort()), false})}, refusing.server());
    RunResult first = home.run();
    EXPECT_EQ(alertActions(home.log()), (std::vector<std::string>{"Retry account", "Skip to next account"}));
    EXPECT_TRUE(has(summaryLines(first.out), "   1 account skipped with errors")) << first.out;
    EXPECT_EQ(refusing.count(), 0u);
    EXPECT_EQ(box.messages().size(), 2u);
    EXPECT_EQ(home.section("a@example.com"), std::vector<std::string>{}) << home.index();

    // A later run through a server that takes them forwards (and deletes) both.
    home.settings({record({"a@example.com", local(box.popPort()), false})}, sink.server());
    home.run();
    EXPECT_EQ(received(sink), crlfAll(two));
    EXPECT_TRUE(box.messages().empty());
}

TEST_F(RunLevel, SmtpQuitRefusedIsLoggedButTheAccountCompletes) {
    const std::vector<std::string> two = {kThree[0], kThree[2]};
    fill(two);
    SmtpSink refusing(refusingWith("QUIT=421 4.4.2 Closing first"));
    AgentHome home;
    home.settings({record({"a@example.com", local(box.popPort()), false})}, refusing.server());
    RunResult r = home.run({"-d"});
    std::string log = home.log();
    EXPECT_EQ(alertActions(log), std::vector<std::string>{"Continue"}) << log;
    EXPECT_NE(log.find("421 4.4.2 Closing first"), std::string::npos) << log;
    std::vector<std::string> summary = summaryLines(r.out);
    EXPECT_TRUE(has(summary, "   1 account processed")) << r.out;
    for (const std::string& line : summary) {
        EXPECT_EQ(line.find("retry"), std::string::npos) << line;
        EXPECT_EQ(line.find("skipped"), std::string::npos) << line;
    }
    EXPECT_EQ(received(refusing), crlfAll(two));
    // The mail session still ended normally, so the deletions are final.
    EXPECT_TRUE(box.messages().empty());
    EXPECT_EQ(home.section("a@example.com"), std::vector<std::string>{}) << home.index();
}
