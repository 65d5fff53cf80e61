// The next message's retrieval sent ahead, with the built agent against real Dovecot
// (which offers POP3 PIPELINING) and aiosmtpd: a stop while the SMTP server holds a
// message, with the next one's retrieval under way, leaves the index exact, and the
// next run forwards the rest exactly once.
// (SMTP refusals in the middle of a mailbox: refused_message_test.cpp.)
#include <gtest/gtest.h>

#include <csignal>

#include "agent_home.h"
#include "cutting_proxy.h"
#include "suites.h"

namespace {

class SendAhead : public MailServersSuite {
protected:
    Dovecot& box = *box_;
    SmtpSink& sink = *sink_;
};

} // namespace

TEST_F(SendAhead, StopWhileAMessageIsUnderWayLeavesTheRestForTheNextRunExactlyOnce) {
    std::vector<std::string> texts;
    for (int i = 1; i <= 5; ++i) texts.push_back(sampleMessage(2000, "ahead " + std::to_string(i)));
    for (const char* type : {"POP", "IMAP"}) {
        for (bool leave : {true, false}) {
            SCOPED_TRACE(std::string(type) + (leave ? ", leaving mail" : ", deleting mail"));
            box.clearMailbox();
            sink.clear();
            for (const std::string& t : texts) box.addMessage(t);
            // The end of the third message never reaches the SMTP server; by then the
            // fourth message's retrieval has gone out.
            CuttingProxy smtp(sink.port(), ProxyFault{"\r\n.\r\n", 0, ProxyFault::Action::Hold, -1, 3});
            AgentHome home;
            int port = std::string(type) == "POP" ? box.popPort() : box.imapPort();
            home.settings({record({"a@example.com", local(port), leave, type})}, local(smtp.port()));
            auto agent = home.start({"-d"});
            ASSERT_TRUE(agent->waitForLine("updateStatus\ta@example.com\tForwarding message 3 of 5", kRunSeconds))
                << agent->out();
            ASSERT_TRUE(smtp.waitStruck(1, kRunSeconds));
            agent->signal(SIGINT);
            RunResult first = agent->finish(kRunSeconds);
            EXPECT_TRUE(has(statusLines(first.out), "None\tStopped")) << first.out;
            EXPECT_TRUE(alertActions(home.log()).empty()) << home.log();
            EXPECT_EQ(received(sink), crlfAll({texts[0], texts[1]}));
            size_t fetches = 0;
            std::string trace = home.trace(), fetch = std::string(type) == "POP" ? "POP<-RETR " : " UID FETCH ";
            for (size_t at = trace.find(fetch); at != std::string::npos; at = trace.find(fetch, at + 1)) ++fetches;
            EXPECT_EQ(fetches, 4u);
            // Two forwarded: "F", or "D" as their deletion was never committed.
            auto marks = home.section("a@example.com");
            ASSERT_TRUE(marks && marks->size() == 2u) << home.index();
            for (const std::string& m : *marks) EXPECT_EQ(m.back(), leave ? 'F' : 'D') << m;
            EXPECT_EQ(box.messages().size(), 5u);

            smtp.setFault(std::nullopt);
            home.run();
            EXPECT_EQ(received(sink), crlfAll(texts));
            EXPECT_EQ(box.messages().size(), leave ? 5u : 0u);
            EXPECT_EQ(home.section("a@example.com")->size(), leave ? 5u : 0u) << home.index();
        }
    }
}
