// IMAP deletion in batches, with the built agent against real Dovecot and aiosmtpd:
// forwarded messages are flagged many at a time, refused ones are never flagged, and a
// session that breaks with a batch sent but unanswered leaves the batch to the clean-up,
// which deletes it without forwarding anything again. (Under random faults:
// faults_test.cpp.)
#include <gtest/gtest.h>

#include "agent_home.h"
#include "cutting_proxy.h"

namespace {

const std::string kRefusal = "554 5.6.0 Content refused";

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class ImapBatch : public testing::Test {
protected:
    static void SetUpTestSuite() {
        box_ = std::make_unique<Dovecot>();
        sink_ = std::make_unique<SmtpSink>(refusingWith("DOT/X-Refuse-Me=" + kRefusal));
    }
    static void TearDownTestSuite() {
        box_.reset();
        sink_.reset();
    }
    void SetUp() override {
        box_->clearMailbox();
        sink_->clear();
    }

    // n messages; those whose position (from 1) is a multiple of refuseEvery are refused.
    static std::vector<std::string> fill(int n, int refuseEvery) {
        std::vector<std::string> texts;
        for (int i = 1; i <= n; ++i) {
            std::string refuse = refuseEvery > 0 && i % refuseEvery == 0 ? "X-Refuse-Me: yes\n" : "";
            texts.push_back("Subject: message " + std::to_string(i) + "\n" + refuse + "\nbody " + std::to_string(i) +
                            "\n");
            box_->addMessage(texts.back());
        }
        return texts;
    }

    static inline std::unique_ptr<Dovecot> box_;
    static inline std::unique_ptr<SmtpSink> sink_;
};

} // namespace

TEST_F(ImapBatch, ForwardedMessagesAreFlaggedInBatchesAndRefusedOnesStay) {
    std::vector<std::string> texts = fill(80, 10);
    std::vector<std::string> refused, forwarded;
    for (const std::string& t : texts) (t.find("X-Refuse-Me") != std::string::npos ? refused : forwarded).push_back(t);
    AgentHome home;
    home.settings({record({"box@example.com", local(box_->imapPort()), false, "IMAP"})}, sink_->server());
    home.run({"-d"});
    std::string trace = home.trace();
    // 72 forwarded: a full batch of 64, then the rest as the session ends.
    EXPECT_EQ(occurrences(trace, " UID STORE "), 2u);
    EXPECT_EQ(occurrences(trace, " BODY.PEEK[]"), 80u);
    EXPECT_EQ(received(*sink_), crlfAll(forwarded));
    EXPECT_EQ(box_->messages(), refused);
    EXPECT_EQ(home.section("box@example.com"), std::vector<std::string>{}) << home.index();

    // The refused ones are offered again; nothing forwarded is sent twice.
    sink_->clear();
    home.run();
    EXPECT_EQ(sink_->count(), 0u);
    EXPECT_EQ(box_->messages(), refused);
    EXPECT_NE(home.log().find("   8 new messages found"), std::string::npos) << home.log();
}

TEST_F(ImapBatch, ABatchSentButNotAnsweredIsCleanedUpWithoutForwardingAgain) {
    struct Case {
        int messages;
        int stores; // STORE commands in the run whose first STORE is cut
    } cases[] = {
        {5, 2},  // the batch at the end of the session
        {70, 3}, // a full batch in the middle of forwarding, one at the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.messages);
        box_->clearMailbox();
        sink_->clear();
        std::vector<std::string> texts = fill(c.messages, 0);
        // The first STORE never reaches the server and its connection is cut.
        CuttingProxy proxy(box_->imapPort(), ProxyFault{" UID STORE ", 0, ProxyFault::Action::Cut, 1});
        AgentHome home;
        home.settings({record({"box@example.com", local(proxy.port()), false, "IMAP"})}, sink_->server());
        RunResult r = home.run({"-d"});
        EXPECT_EQ(proxy.struck(), 1);
        std::string log = home.log();
        EXPECT_EQ(alertActions(log), std::vector<std::string>{"Retry account"}) << log;
        // The retry deletes the cut batch in its clean-up and forwards only the rest.
        EXPECT_TRUE(has(statusLines(r.out), "box@example.com\tPerforming message cleanup")) << r.out;
        EXPECT_EQ(received(*sink_), crlfAll(texts));
        EXPECT_TRUE(box_->messages().empty());
        EXPECT_EQ(home.section("box@example.com"), std::vector<std::string>{}) << home.index();
        EXPECT_EQ(occurrences(home.trace(), " UID STORE "), static_cast<size_t>(c.stores));
    }
}
