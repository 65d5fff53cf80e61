// The agent end to end: real Dovecot mailboxes, a real SMTP server, settings in a
// throwaway HOME, the built "Tarnwell Agent" run as the menu would run it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "agent_home.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "dovecot.h"
#include "prefs.h"
#include "testca.h"
#include "testutil.h"

namespace {

// One "Account" record: address, password, server, leave, secure, type.
std::string account(const std::string& addr, const std::string& server, bool leave, bool secure, const std::string& type,
                    const std::string& login = Dovecot::kUser, const std::string& password = Dovecot::kPassword,
                    bool enabled = true) {
    return b64(addr + ":" + password) + "\t" + server + "\t(default)\t\t" + b64(login) + "\t" + (leave ? "1" : "0") +
           "\t" + (secure ? "1" : "0") + "\t" + (enabled ? "1" : "0") + "\t" + type + "\t";
}

class Forwarding : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // TLS accounts trust only the test CA, as a user's system store would.
        ::setenv("SSL_CERT_FILE", testCerts().caCert.c_str(), 1);
    }

    void settings(const std::vector<std::string>& accounts, std::map<std::string, prefs::Value> extra = {}) {
        prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        domain.SetAppValue("SMTPHost", sink.server());
        domain.SetAppValue("dftFwd", std::string("forward@example.org"));
        domain.SetAppValue("Account", accounts);
        for (auto& [key, value] : extra) domain.SetAppValue(key, value);
        ASSERT_TRUE(domain.AppSynchronize());
    }

    RunResult run(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {kAgent};
        argv.insert(argv.end(), options.begin(), options.end());
        return runProgram(argv, home.path(), 120);
    }

    std::string index() const { return readFile(home.file("Library/Preferences/com.vexlo.Tarnwell.index")); }
    std::string log() const { return readFile(home.file("Library/Logs/Tarnwell.log")); }

    TempDir home;
    SmtpSink sink;
};

} // namespace

TEST_F(Forwarding, EveryMessageArrivesOnceByteIdentical) {
    Dovecot popBox, imapBox;
    std::vector<std::string> popMessages = {
        "From: Ann <ann@example.com>\nTo: tester@example.com\nSubject: plain\n\nHello.\n.\n..starts with dots\n",
        sampleMessage(9000, "with dots and long lines"),
        "From: b@example.com\nSubject: no final newline\n\nlast line",
    };
    std::vector<std::string> imapMessages = {sampleMessage(30000, "imap one"), "Subject: imap two\n\n.\nbody\n"};
    for (auto& m : popMessages) popBox.addMessage(m);
    for (auto& m : imapMessages) imapBox.addMessage(m);
    settings({account("pop@example.com", local(popBox.popsPort()), false, true, "POP"),
              account("imap@example.com", local(imapBox.imapPort()), true, false, "IMAP")});

    RunResult first = run();
    EXPECT_EQ(first.exitStatus, 0);
    auto received = sink.messages();
    ASSERT_EQ(received.size(), 5u) << first.out << log();
    // A last line without a line end gets one: SMTP cannot end a message otherwise.
    popMessages[2] += "\n";
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(received[i].data, crlf(popMessages[i])) << i;
        EXPECT_EQ(received[i].from, "pop@example.com");
        EXPECT_EQ(received[i].to, std::vector<std::string>{"forward@example.org"});
    }
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(received[3 + i].data, crlf(imapMessages[i])) << i;

    auto status = statusLines(first.out);
    for (const char* expected :
         {"None\tStarting up", "pop@example.com\tInitializing", "pop@example.com\tConnecting to POP Server",
          "pop@example.com\tGetting mail list", "pop@example.com\tConnecting to SMTP server",
          "pop@example.com\tForwarding message 1 of 3", "pop@example.com\tForwarding message 2 of 3  (8K sent)",
          "pop@example.com\tClearing message 3 of 3", "imap@example.com\tConnecting to IMAP Server",
          "imap@example.com\tForwarding message 1 of 2  (4K sent)", "None\tDone"})
        EXPECT_TRUE(has(status, expected)) << expected << "\n" << first.out;
    EXPECT_NE(first.out.find("updateSummary\t   2 accounts processed"), std::string::npos);

    // Deleted on the POP server and gone from the index; left on the IMAP server and
    // remembered as forwarded.
    EXPECT_TRUE(popBox.messages().empty());
    EXPECT_EQ(imapBox.messages().size(), 2u);
    std::string ix = index();
    EXPECT_NE(ix.find("[" + b64("imap@example.com") + "]\n1\tF\n2\tF\n"), std::string::npos) << ix;
    EXPECT_NE(ix.find("[" + b64("pop@example.com") + "]\n["), std::string::npos) << ix;

    RunResult second = run();
    EXPECT_EQ(sink.count(), 5u) << second.out;
    EXPECT_EQ(index(), ix);
    EXPECT_NE(log().find("   0 new messages found"), std::string::npos);
}
