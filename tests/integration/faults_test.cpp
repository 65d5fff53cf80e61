// Runs of the built agent that are interrupted at any moment: what reached the SMTP
// server before the interruption is not forwarded again by the next run, beyond the
// one message that was under way.
#include <gtest/gtest.h>

#include <csignal>

#include "agent_runner.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "dovecot.h"
#include "prefs.h"

namespace {

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

class Faults : public testing::Test {
protected:
    static void SetUpTestSuite() {
        box_ = new Dovecot();
        sink_ = new SmtpSink();
    }
    static void TearDownTestSuite() {
        delete box_;
        delete sink_;
        box_ = nullptr;
        sink_ = nullptr;
    }

    static Dovecot* box_;
    static SmtpSink* sink_;
    Dovecot& box = *box_;
    SmtpSink& sink = *sink_;
};

Dovecot* Faults::box_ = nullptr;
SmtpSink* Faults::sink_ = nullptr;

} // namespace

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
        prefs::Domain settings(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        settings.SetAppValue("SMTPHost", sink.server());
        settings.SetAppValue("dftFwd", std::string("forward@example.org"));
        std::string account = b64(std::string("k@example.com:") + Dovecot::kPassword) + "\t127.0.0.1:" +
                              std::to_string(c.port) + "\t(default)\t\t" + b64(Dovecot::kUser) + "\t" +
                              (c.leave ? "1" : "0") + "\t0\t1\t" + c.type + "\t";
        settings.SetAppValue("Account", std::vector<std::string>{account});
        ASSERT_TRUE(settings.AppSynchronize());
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
