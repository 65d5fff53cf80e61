// Runs of the built agent interrupted at any moment. Fault campaigns at a small size: a
// mailbox forwarded through relays that cut at random byte offsets, stall or refuse SMTP
// commands, and with the agent killed at random moments, until it is drained (POP, mail
// deleted) or fully forwarded (IMAP, mail left); the rules checked after every run and at
// the end are in fault_campaign.h, the large campaign is a benchmark. A failure names its
// seed; TARNWELL_FAULT_SEED replays it.
#include <gtest/gtest.h>

#include <csignal>

#include "agent_runner.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "dovecot.h"
#include "fault_campaign.h"
#include "cutting_proxy.h"
#include "prefs.h"
#include "suites.h"

namespace {

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

// Settings for one account on 127.0.0.1:port, forwarding through smtpServer.
void writeSettings(const TempDir& home, const std::string& type, int port, bool leave, const std::string& smtpServer) {
    prefs::Domain settings(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
    settings.SetAppValue("SMTPHost", smtpServer);
    settings.SetAppValue("dftFwd", std::string("forward@example.org"));
    std::string account = b64(std::string("k@example.com:") + Dovecot::kPassword) + "\t127.0.0.1:" +
                          std::to_string(port) + "\t(default)\t\t" + b64(Dovecot::kUser) + "\t" + (leave ? "1" : "0") +
                          "\t0\t1\t" + type + "\t";
    settings.SetAppValue("Account", std::vector<std::string>{account});
    ASSERT_TRUE(settings.AppSynchronize());
}

void expectSound(const CampaignResult& r, const CampaignOptions& o) {
    std::string all;
    for (const std::string& v : r.violations) all += v + "\n";
    EXPECT_TRUE(r.violations.empty()) << "seed " << o.seed << " (" << kFaultSeedVariable << ")\n" << all;
    EXPECT_EQ(r.lost, 0);
    EXPECT_LE(r.duplicates, r.interruptions);
    EXPECT_GE(r.interruptions, o.faults);
    // Every kind of fault had its turn; whether a kill lands inside a run depends on
    // the machine's speed, so kills are checked by the test that kills at a known line.
    EXPECT_GT(r.cuts, 0);
    EXPECT_GT(r.stalls, 0);
    EXPECT_GT(r.replies, 0);
}

class Faults : public MailServersSuite {
protected:
    static CampaignOptions options(const std::string& type, bool leave, uint64_t seed) {
        CampaignOptions o;
        o.agent = TARNWELL_BIN_DIR "/Tarnwell Agent";
        o.type = type;
        o.leave = leave;
        o.messages = 8;
        o.faults = 20;
        o.seed = faultSeed(seed);
        return o;
    }

    Dovecot& box = *box_;
    SmtpSink& sink = *sink_;
};


} // namespace

TEST_F(Faults, PopMailboxDeletingForwardedMailIsDrainedWithoutLoss) {
    CampaignOptions o = options("POP", false, 20240611);
    expectSound(runCampaign(o, box, sink), o);
}

TEST_F(Faults, ImapMailboxLeavingForwardedMailIsFullyForwardedWithoutLoss) {
    CampaignOptions o = options("IMAP", true, 20240612);
    expectSound(runCampaign(o, box, sink), o);
}

TEST_F(Faults, ImapMailboxDeletingForwardedMailInBatchesIsDrainedWithoutLoss) {
    CampaignOptions o = options("IMAP", false, 20240613);
    expectSound(runCampaign(o, box, sink), o);
}

TEST_F(Faults, AgentKilledWhileForwardingSendsOnlyTheInterruptedMessageAgain) {
    struct Case {
        std::string type;
        int port;
        bool leave;
    };
    for (const Case& c : {Case{"POP", box.popPort(), false}, Case{"IMAP", box.imapPort(), true}}) {
        SCOPED_TRACE(c.type);
        box.clearMailbox();
        sink.clear();
        for (int i = 1; i <= 5; ++i) box.addMessage(sampleMessage(3000, "killed " + std::to_string(i)));
        TempDir home;
        writeSettings(home, c.type, c.port, c.leave, sink.server());
        const std::vector<std::string> argv = {TARNWELL_BIN_DIR "/Tarnwell Agent"};
        {
            AgentRunner agent(argv, home.path());
            // Two messages are through once the third is announced.
            ASSERT_TRUE(agent.waitForLine("updateStatus\tk@example.com\tForwarding message 3 of 5", 60)) << agent.out();
            agent.signal(SIGKILL);
            agent.finish(60);
        }
        size_t before = sink.count();
        ASSERT_GE(before, 2u);
        EXPECT_EQ(runProgram(argv, home.path(), 60).exitStatus, 0);
        // The next run sends the rest; only a message that was under way may go twice.
        EXPECT_GE(sink.count(), 5u);
        EXPECT_LE(sink.count(), 6u);
        EXPECT_EQ(box.messages().size(), c.leave ? 5u : 0u);
    }
}

TEST_F(Faults, CleanupBrokenOffHalfwayKeepsTheRestForTheNextAttemptInsteadOfForwardingThemAgain) {
    struct Case {
        std::string type;
        int port;
        std::string commit; // the command that makes the deletions final
        std::string remove; // the command that deletes messages: one (POP), a batch (IMAP)
        int broken;         // the occurrence of remove that breaks off
    };
    for (const Case& c : {Case{"POP", box.popPort(), "QUIT", "DELE ", 2},
                          Case{"IMAP", box.imapPort(), " UID EXPUNGE ", "UID STORE ", 1}}) {
        SCOPED_TRACE(c.type);
        box.clearMailbox();
        sink.clear();
        for (int i = 1; i <= 3; ++i) box.addMessage(sampleMessage(2000, "cleanup " + std::to_string(i)));
        CuttingProxy proxy(c.port, ProxyFault{c.commit});
        TempDir home;
        writeSettings(home, c.type, proxy.port(), false, sink.server());
        const std::vector<std::string> argv = {TARNWELL_BIN_DIR "/Tarnwell Agent"};
        // Forwarded, marked for deletion, never committed.
        EXPECT_EQ(runProgram(argv, home.path(), 60).exitStatus, 0);
        ASSERT_EQ(sink.count(), 3u);
        ASSERT_EQ(box.messages().size(), 3u);

        // The clean-up breaks off at its second deletion (IMAP: its batch), once; the
        // retry in the same run finishes it.
        proxy.setFault(ProxyFault{c.remove, 0, ProxyFault::Action::Cut, 1, c.broken});
        EXPECT_EQ(runProgram(argv, home.path(), 60).exitStatus, 0);
        EXPECT_EQ(proxy.struck(), 3); // two in the first run
        EXPECT_EQ(sink.count(), 3u);
        EXPECT_TRUE(box.messages().empty());
    }
}
