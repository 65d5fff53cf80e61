// Messages that cannot be forwarded as they are must not hold back the rest of the
// mailbox: the built agent against real Dovecot and aiosmtpd, in POP and IMAP, with
// mail deleted or left on the server. The mailbox list holds ordinary messages and
// special ones, each with what must become of it.
#include <gtest/gtest.h>

#include "agent_home.h"
#include "prefs.h"

namespace {

const std::string kRefusal = "554 5.6.0 Content refused";

struct Mail {
    std::string text;
    bool refused = false; // the SMTP server refuses it for good
};

// The SMTP server refuses every message that carries the header X-Refuse-Me. The empty
// message and the one with a 5 MB line are forwarded as they are.
const std::vector<Mail> kMailbox = {
    {"From: Ann <ann@example.com>\nSubject: one\n\nfirst\n"},
    {""},
    {"From: c@example.com\nSubject: refused\nX-Refuse-Me: yes\n\nthe server will not take this\n", true},
    {"Subject: one long line\n\n." + std::string(5u << 20, 'x') + "\nafter it\n"},
    {sampleMessage(20000, "two")},
    {"Subject: four\n\n.\n..dots\n"},
    {"From: e@example.com\nSubject: last\n\nno final line end"},
};
constexpr int kRefusedPosition = 3;

// What the SMTP server receives for an ordinary message. Dovecot's POP server hands out
// an empty message as one blank line; over IMAP it stays empty.
std::string arrival(const std::string& text, const std::string& type) {
    if (text.empty()) return type == "POP" ? "\r\n" : "";
    return crlf(text.back() == '\n' ? text : text + "\n");
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class RefusedMessage : public testing::Test {
protected:
    static void SetUpTestSuite() {
        box_ = std::make_unique<Dovecot>();
        SmtpSinkOptions options;
        options.faults = {"DOT/X-Refuse-Me=" + kRefusal};
        options.lineLimit = 8 << 20;
        sink_ = std::make_unique<SmtpSink>(options);
    }
    static void TearDownTestSuite() {
        box_.reset();
        sink_.reset();
    }

    void settings(const TempDir& home, const std::string& type, bool leave) {
        int port = type == "POP" ? box_->popPort() : box_->imapPort();
        std::string account = record({"box@example.com", local(port), leave, type});
        prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
        domain.SetAppValue("SMTPHost", sink_->server());
        domain.SetAppValue("dftFwd", std::string("forward@example.org"));
        domain.SetAppValue("Account", std::vector<std::string>{account});
        ASSERT_TRUE(domain.AppSynchronize());
    }

    static inline std::unique_ptr<Dovecot> box_;
    static inline std::unique_ptr<SmtpSink> sink_;
};

} // namespace

TEST_F(RefusedMessage, OthersGoOnAndTheRefusedOneIsTriedAgainNextRun) {
    std::vector<std::string> all, ordinary, special;
    for (const Mail& m : kMailbox) {
        all.push_back(m.text);
        (m.refused ? special : ordinary).push_back(m.text);
    }
    for (const char* type : {"POP", "IMAP"}) {
        for (bool leave : {false, true}) {
            SCOPED_TRACE(std::string(type) + (leave ? ", leaving mail" : ", deleting mail"));
            box_->clearMailbox();
            sink_->clear();
            for (const Mail& m : kMailbox) box_->addMessage(m.text);
            TempDir home;
            settings(home, type, leave);
            std::string logPath = home.file("Library/Logs/Tarnwell.log");

            RunResult first = runProgram({kAgent}, home.path(), 120);
            ASSERT_EQ(kMailbox[kRefusedPosition - 1].refused, true);
            std::string log = readFile(logPath);
            auto got = sink_->messages();
            ASSERT_EQ(got.size(), ordinary.size()) << log;
            for (size_t i = 0; i < ordinary.size(); ++i)
                EXPECT_TRUE(got[i].data == arrival(ordinary[i], type)) << i << ": " << got[i].data.substr(0, 200);
            // Reported as a note naming the message and the server's reply; no retry.
            EXPECT_NE(log.find("Message: Message " + std::to_string(kRefusedPosition) + " of " +
                               std::to_string(kMailbox.size()) + " was refused by the SMTP server.\r\n   " +
                               kRefusal + "\r\n   Action: Continue"),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("Retry account"), std::string::npos) << log;
            EXPECT_NE(log.find("   " + std::to_string(ordinary.size()) + " messages forwarded"), std::string::npos)
                << log;
            EXPECT_NE(first.out.find("None\tDone"), std::string::npos);
            // Left unmarked: on the server still, and not in the index.
            EXPECT_EQ(box_->messages(), leave ? all : special);
            std::string index = readFile(home.file("Library/Preferences/com.vexlo.Tarnwell.index"));
            EXPECT_EQ(occurrences(index, "\tF\n"), leave ? ordinary.size() : 0u) << index;
            EXPECT_EQ(occurrences(index, "\tD\n"), 0u) << index;

            // The next run offers it again and forwards nothing else twice.
            runProgram({kAgent}, home.path(), 120);
            log = readFile(logPath);
            EXPECT_EQ(sink_->count(), ordinary.size()) << log;
            EXPECT_EQ(occurrences(log, "was refused by the SMTP server."), 2u) << log;
            EXPECT_NE(log.find("   1 new message found"), std::string::npos) << log;
            EXPECT_EQ(readFile(home.file("Library/Preferences/com.vexlo.Tarnwell.index")), index);
        }
    }
}
