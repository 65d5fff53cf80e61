// Two agents of one user at once (the menu's timer and a user at a terminal): the run
// lock lets one forward while the other ends at once, so no message goes out twice.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent_runner.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "dovecot.h"
#include "prefs.h"
#include "testutil.h"

TEST(TwoAgents, AnAgentStartedDuringARunForwardsNothing) {
    Dovecot popBox, imapBox;
    std::vector<std::string> expected;
    for (int i = 0; i < 30; ++i) {
        const std::string pop = sampleMessage(3000, "pop " + std::to_string(i)),
                          imap = sampleMessage(3000, "imap " + std::to_string(i));
        popBox.addMessage(pop);
        imapBox.addMessage(imap);
        expected.push_back(crlf(pop));
        expected.push_back(crlf(imap));
    }
    SmtpSink sink;
    TempDir home;
    {
        // Both accounts leave their mail on the server, so each agent would see all of it.
        auto record = [](const std::string& addr, int port, const char* type) {
            return std::string(View(Base64_Encode(addr + ":" + Dovecot::kPassword))) + "\t127.0.0.1:" +
                   std::to_string(port) + "\t(default)\t\t" + std::string(View(Base64_Encode(Dovecot::kUser))) +
                   "\t1\t0\t1\t" + type + "\t";
        };
        prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        domain.SetAppValue("SMTPHost", sink.server());
        domain.SetAppValue("dftFwd", std::string("forward@example.org"));
        domain.SetAppValue("Account", std::vector<std::string>{record("pop@example.com", popBox.popPort(), "POP"),
                                                               record("imap@example.com", imapBox.imapPort(), "IMAP")});
        ASSERT_TRUE(domain.AppSynchronize());
    }
    const std::string agent = TARNWELL_BIN_DIR "/Tarnwell Agent";

    AgentRunner first({agent}, home.path());
    // The first agent has listed the mailbox and is about to forward all of it.
    ASSERT_TRUE(first.waitForLine("updateStatus\tpop@example.com\tConnecting to SMTP server", 60)) << first.out();
    AgentRunner second({agent}, home.path());
    const RunResult secondRun = second.finish(60);
    const RunResult firstRun = first.finish(120);

    EXPECT_NE(secondRun.out.find("updateSummary\t   0 accounts processed\n"), std::string::npos) << secondRun.out;
    EXPECT_EQ(secondRun.out.find("pop@example.com"), std::string::npos) << secondRun.out;
    EXPECT_NE(firstRun.out.find("updateSummary\t   2 accounts processed\n"), std::string::npos) << firstRun.out;
    std::vector<std::string> received;
    for (const ReceivedMail& mail : sink.messages()) received.push_back(mail.data);
    std::sort(received.begin(), received.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(received == expected) << received.size() << " messages received for " << expected.size();
    const std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
    EXPECT_NE(log.find("Another Tarnwell Agent is already forwarding mail for this user; this one ends without "
                       "touching any account.\n"),
              std::string::npos)
        << log;

    // Once the first has ended, the next agent runs and finds nothing new.
    const RunResult third = runProgram({agent}, home.path(), 60);
    EXPECT_NE(third.out.find("updateSummary\t   2 accounts processed\n"), std::string::npos) << third.out;
    EXPECT_EQ(sink.count(), expected.size());
}
