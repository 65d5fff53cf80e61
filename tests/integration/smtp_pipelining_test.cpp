// The built agent against Dovecot (POP3 and IMAP) and an aiosmtpd that lists PIPELINING: a refusal
// inside a pipelined envelope holds back that message alone (its text, already on its
// way, is read past), and the index stays exact
// (the refused message is offered again next run, nothing is forwarded twice).
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "agent_home.h"

namespace {

const std::string kAddr = "box@example.com";

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

} // namespace

TEST(SmtpPipeliningAgent, RefusalInsideTheGroupHoldsBackThatMessageAlone) {
    Dovecot box;
    const std::vector<std::string> mail = {"Subject: one\n\nfirst\n", "Subject: two\n\nsecond\n",
                                           "Subject: three\n\n.third\n"};
    struct Case {
        const char* fault; // strikes the first message's envelope once
        const char* reply;
    };
    for (const Case& k : {Case{"MAIL*1=", "553 5.7.1 Sender rejected"},
                          Case{"RCPT*1=", "550 5.1.1 <forward@example.org>: Mailbox unavailable"},
                          Case{"DATA*1=", "554 5.3.4 Message too big"}}) {
        for (const auto& [type, port, leave] : {std::tuple{"POP", box.popPort(), true}, std::tuple{"POP", box.popPort(), false},
                                               std::tuple{"IMAP", box.imapPort(), true},
                                               std::tuple{"IMAP", box.imapPort(), false}}) {
            SCOPED_TRACE(std::string(k.fault) + " " + type + (leave ? ", leaving mail" : ", deleting mail"));
            box.clearMailbox();
            for (const std::string& m : mail) box.addMessage(m);
            SmtpSink sink(refusingWith(k.fault + std::string(k.reply)));
            AgentHome home;
            home.settings({record({kAddr, local(port), leave, type})}, sink.server());

            home.run({"-d"});
            std::string log = home.log();
            EXPECT_EQ(received(sink), crlfAll({mail[1], mail[2]})) << log;
            EXPECT_NE(log.find("Message 1 of 3 was refused by the SMTP server.\r\n   " + std::string(k.reply)),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("Retry account"), std::string::npos) << log;
            EXPECT_EQ(box.messages(), leave ? mail : std::vector<std::string>{mail[0]});
            // Pipelined: the envelope's commands leave before the first reply comes back.
            std::vector<std::string> smtp;
            for (std::string line : splitLines(home.trace())) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.rfind("SMTP->", 0) == 0) smtp.push_back("SMTP->");
                if (line.rfind("SMTP<-", 0) == 0) smtp.push_back(line);
            }
            auto mailAt = std::find(smtp.begin(), smtp.end(), "SMTP<-MAIL FROM:<" + kAddr + ">");
            ASSERT_GE(std::distance(mailAt, smtp.end()), 4) << "no MAIL FROM traced";
            EXPECT_EQ(std::vector<std::string>(mailAt, mailAt + 4),
                      (std::vector<std::string>{"SMTP<-MAIL FROM:<" + kAddr + ">", "SMTP<-RCPT TO:<forward@example.org>",
                                                "SMTP<-DATA", "SMTP->"}));

            home.run();
            EXPECT_EQ(received(sink), crlfAll({mail[1], mail[2], mail[0]})) << home.log();
            EXPECT_EQ(count(home.log(), "was refused by the SMTP server."), 1u) << home.log();
            EXPECT_EQ(box.messages(), leave ? mail : std::vector<std::string>{});
            if (leave) {
                EXPECT_EQ(count(home.index(), "\tF\n"), 3u) << home.index();
            }
        }
    }
}
