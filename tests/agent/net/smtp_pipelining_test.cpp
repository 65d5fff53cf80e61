// The envelope sent as one group when the server lists PIPELINING, the replies read in
// order behind it, and the fall back from a refused EHLO to HELO.
#include <gtest/gtest.h>

#include <regex>

#include "aiosmtpd.h"
#include "scripted_server.h"
#include "smtp.h"
#include "smtp_test_client.h"
#include "testutil.h"

namespace {

// Greeting and EHLO; with pipelining the EHLO reply lists PIPELINING.
std::string ready(bool pipelining) {
    return std::string("S: 220 mail.example ESMTP\nC: *\n") +
           (pipelining ? "S: 250-mail.example\nS: 250 PIPELINING\n" : "S: 250 mail.example\n") +
           "C: RSET\nS: 250 2.0.0 Ok\n";
}

// A message to c@z that goes through, then QUIT.
std::string nextMessage(bool pipelining) {
    return std::string(pipelining ? "C: MAIL FROM:<from@x>\nC: RCPT TO:<c@z>\nC: DATA\nS: 250 2.1.0 Ok\nS: 250 2.1.5 Ok\n"
                                  : "C: MAIL FROM:<from@x>\nS: 250 2.1.0 Ok\nC: RCPT TO:<c@z>\nS: 250 2.1.5 Ok\nC: DATA\n") +
           "S: 354 go ahead\nC-DATA\nS: 250 2.0.0 Ok: queued\nC: QUIT\nS: 221 2.0.0 Bye\n";
}

int sendNext(SmtpTestClient& c) {
    if (smtp_msgOpen(*c, "from@x", "c@z") < 0) return -1;
    if (smtp_msgPut(*c, "next\r\n") < 0) return -1;
    return smtp_msgClose(*c);
}

const char* const kCommunication = "An error occurred while communicating with the SMTP server.";
const char* const kRefused = "SMTP server returned an error.";

} // namespace

TEST_P(SmtpScripted, PipelinedEnvelopeGoesOutBeforeAnyReply) {
    ScriptedServer server(fixture("smtp/pipelined.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << c.errorDetail();
    EXPECT_EQ(c.smtp->pipelining, 1);
    TempDir dir;
    debugLogSetPath(dir.file("trace.log"));
    debugReq = 1;
    for (const char* recipients : {"a@x", "a@x, b@y"}) {
        EXPECT_EQ(smtp_msgOpen(*c, "from@x", recipients), 0) << recipients << ": " << c.errorDetail();
        EXPECT_EQ(smtp_msgPut(*c, ".text\r\n"), 0);
        EXPECT_EQ(smtp_msgClose(*c), 0) << c.errorDetail();
    }
    debugReq = 0;
    debugLogSetPath("");
    ASSERT_EQ(smtp_close(*c), 0) << c.errorDetail();
    EXPECT_EQ(server.result(), "");
    // The trace shows every command as it is queued, then every reply.
    std::vector<std::string> trace;
    for (std::string line : splitLines(readFile(dir.file("trace.log")))) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("SMTP<-", 0) == 0 || line.rfind("SMTP->", 0) == 0) trace.push_back(line);
        if (trace.size() == 6) break;
    }
    EXPECT_EQ(trace, (std::vector<std::string>{"SMTP<-MAIL FROM:<from@x>", "SMTP<-RCPT TO:<a@x>", "SMTP<-DATA",
                                               "SMTP->250 2.1.0 Ok", "SMTP->250 2.1.5 Ok",
                                               "SMTP->354 End data with <CR><LF>.<CR><LF>"}));
    std::string bytes = server.clientBytes();
    bytes.erase(0, bytes.find("MAIL"));
    EXPECT_EQ(bytes, "MAIL FROM:<from@x>\r\nRCPT TO:<a@x>\r\nDATA\r\n..text\r\n.\r\n"
                     "MAIL FROM:<from@x>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n..text\r\n.\r\nQUIT\r\n");
}

// A refusal anywhere in the envelope refuses that message alone: every reply of the
// group is read, RSET clears the session and the next message goes through on it.
TEST_P(SmtpScripted, RefusalInAPipelinedGroupRefusesExactlyThatMessage) {
    struct Row {
        const char* what;
        bool pipelining;
        const char* recipients;
        std::string exchange; // after RSET: the envelope and its replies
        const char* detail;
    };
    const std::vector<Row> rows = {
        {"refused recipient", true, "a@x",
         "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\nS: 250 2.1.0 Ok\n"
         "S: 550 5.1.1 <a@x>: Recipient address rejected\nS: 554 5.5.1 Error: no valid recipients\n",
         "550 5.1.1 <a@x>: Recipient address rejected"},
        {"refused sender", true, "a@x",
         "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\nS: 553 5.7.1 Sender rejected\n"
         "S: 503 5.5.1 Error: need MAIL command\nS: 503 5.5.1 Error: need RCPT command\n",
         "553 5.7.1 Sender rejected"},
        {"refused DATA", true, "a@x",
         "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\nS: 250 2.1.0 Ok\nS: 250 2.1.5 Ok\n"
         "S: 554 5.3.4 Message too big\n",
         "554 5.3.4 Message too big"},
        {"refusal over several lines", true, "a@x",
         "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\nS: 250 2.1.0 Ok\nS: 550-5.1.1 No such user\n"
         "S: 550-5.1.1 here\nS: 550 5.1.1 at all\nS: 503-5.5.1 No valid\nS: 503 5.5.1 recipients\n",
         "550-5.1.1 No such user"},
        // DATA is not sent with several recipients: it waits for their replies.
        {"one of two recipients refused", true, "a@x, b@y",
         "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: RCPT TO:<b@y>\nS: 250 2.1.0 Ok\nS: 250 2.1.5 Ok\n"
         "S: 550 5.1.1 <b@y>: Recipient address rejected\n",
         "550 5.1.1 <b@y>: Recipient address rejected"},
        // Without PIPELINING each command waits for its reply: nothing follows a refusal.
        {"refused sender, no pipelining", false, "a@x, b@y", "C: MAIL FROM:<from@x>\nS: 553 5.7.1 Sender rejected\n",
         "553 5.7.1 Sender rejected"},
    };
    for (const Row& r : rows) {
        ScriptedServer server(ready(r.pipelining) + r.exchange + "C: RSET\nS: 250 2.0.0 Ok\n" + nextMessage(r.pipelining),
                              options());
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << r.what << ": " << c.errorDetail();
        EXPECT_EQ(smtp_msgOpen(*c, "from@x", r.recipients), -1) << r.what;
        EXPECT_EQ(c.smtp->refused, 1) << r.what;
        EXPECT_EQ(c.errorText(), kRefused) << r.what;
        EXPECT_EQ(c.errorDetail(), r.detail) << r.what;
        EXPECT_TRUE(c.smtp->socket.connected) << r.what;
        EXPECT_EQ(sendNext(c), 0) << r.what << ": " << c.errorDetail();
        EXPECT_EQ(c.smtp->refused, 0) << r.what;
        EXPECT_EQ(smtp_close(*c), 0) << r.what;
        EXPECT_EQ(server.result(), "") << r.what;
    }
}

// A server that takes DATA after refusing the only recipient would deliver whatever
// ends the data phase; the connection is ended instead, with no "." sent.
TEST_P(SmtpScripted, PipelinedDataTakenAfterARefusalEndsTheConnection) {
    ScriptedServer server(ready(true) +
                              "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\nS: 250 2.1.0 Ok\n"
                              "S: 550 5.1.1 <a@x>: Recipient address rejected\nS: 354 go ahead\nSTALL\n",
                          options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << c.errorDetail();
    EXPECT_EQ(smtp_msgOpen(*c, "from@x", "a@x"), -1);
    EXPECT_EQ(c.smtp->refused, 0);
    EXPECT_FALSE(c.smtp->socket.connected);
    EXPECT_EQ(c.errorText(), kCommunication);
    EXPECT_EQ(c.errorDetail(),
              "The server accepted DATA after refusing the message: 550 5.1.1 <a@x>: Recipient address rejected");
    EXPECT_EQ(server.result(), "");
    const std::string bytes = server.clientBytes();
    EXPECT_EQ(bytes.substr(bytes.size() - 6), "DATA\r\n");
}

// The connection lost after the group was sent, before its replies or between them:
// the message fails without being called refused, so it stays unforwarded.
TEST_P(SmtpScripted, ConnectionCutBeforeThePipelinedReplies) {
    for (const char* replies : {"", "S: 250 2.1.0 Ok\n", "S: 250 2.1.0 Ok\nS: 550 5.1.1 No such user\n",
                                "S: 250 2.1.0 Ok\nS: 250 2.1.5 Ok\nS-RAW: 354 go"}) {
        ScriptedServer server(ready(true) + "C: MAIL FROM:<from@x>\nC: RCPT TO:<a@x>\nC: DATA\n" + replies + "\nCLOSE\n",
                              options());
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << c.errorDetail();
        EXPECT_EQ(smtp_msgOpen(*c, "from@x", "a@x"), -1) << replies;
        EXPECT_EQ(c.smtp->refused, 0) << replies;
        EXPECT_FALSE(c.smtp->socket.connected) << replies;
        EXPECT_EQ(c.errorText(), kCommunication) << replies;
        EXPECT_EQ(server.result(), "") << replies;
        EXPECT_EQ(smtp_msgClose(*c), -1) << replies;
    }
}

// A server that knows no EHLO gets HELO, and then no pipelining; signing in needs EHLO,
// so with authentication the refusal ends the connection before anything else is sent.
TEST_P(SmtpScripted, EhloRefusedThenHelo) {
    for (const char* refusal : {"S: 502 5.5.2 Error: command not recognized\n",
                                "S: 500-5.5.1 Command unrecognized\nS: 500 5.5.1 EHLO\n",
                                "S: 250-PIPELINING\nS: 502 5.5.2 Not after all\n"}) {
        ScriptedServer server(std::string("S: 220 mail.example\nC: *\n") + refusal +
                                  "C: *\nS: 250 mail.example\nC: RSET\nS: 250 2.0.0 Ok\n" + nextMessage(false),
                              options());
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << refusal << c.errorDetail();
        EXPECT_EQ(c.smtp->pipelining, 0) << refusal;
        EXPECT_EQ(sendNext(c), 0) << c.errorDetail();
        EXPECT_EQ(smtp_close(*c), 0);
        EXPECT_EQ(server.result(), "") << refusal;
        EXPECT_TRUE(std::regex_match(server.clientBytes(),
                                     std::regex(R"(EHLO (\[[\d.]+\])\r\nHELO \1\r\nRSET\r\nMAIL[\s\S]*)")))
            << server.clientBytes();
    }
    struct Case {
        const char* authFlag;
        const char* reply;
        const char* text;
        const char* detail;
    };
    for (const Case& k :
         {Case{"1", "502 5.5.2 Error: command not recognized", kRefused,
               "EHLO, which AUTH LOGIN needs, was refused: 502 5.5.2 Error: command not recognized"},
          Case{"0", "421 4.3.2 Service not available", kRefused, "421 4.3.2 Service not available"}}) {
        ScriptedServer server(std::string("S: 220 mail.example\nC: *\nS: ") + k.reply + "\nSTALL\n", options());
        SmtpTestClient c;
        EXPECT_EQ(smtp_connect(*c, local(server), k.authFlag, "user:pw", 0), -1) << k.reply;
        EXPECT_EQ(c.errorText(), k.text);
        EXPECT_EQ(c.errorDetail(), k.detail);
        EXPECT_FALSE(c.smtp->socket.connected);
        EXPECT_EQ(server.result(), "");
        EXPECT_EQ(server.clientBytes().find("\r\n"), server.clientBytes().size() - 2) << "only EHLO was sent";
    }
}

// Against aiosmtpd: with and without PIPELINING listed, messages arrive byte for byte,
// a refused recipient refuses its message alone, and a refused EHLO leads to HELO.
TEST(SmtpPipeliningAiosmtpd, RefusalsAndFallBackAgainstARealServer) {
    struct Case {
        bool pipelining;
        std::vector<std::string> faults;
        int listed;
    };
    const std::string refusal = "550 5.1.1 <refused@x.example>: Recipient address rejected";
    for (const Case& k : {Case{true, {}, 1}, Case{false, {}, 0},
                          Case{true, {"EHLO=502 5.5.2 Error: command not recognized"}, 0}}) {
        SmtpSinkOptions options;
        options.pipelining = k.pipelining;
        options.faults = k.faults;
        options.faults.push_back("RCPT/refused@=" + refusal);
        SmtpSink sink(options);
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, sink.server(), "0", "", 0), 0) << c.errorDetail();
        EXPECT_EQ(c.smtp->pipelining, k.listed);
        struct Message {
            const char* recipients;
            const char* text;
            bool accepted;
        };
        for (const Message& m : {Message{"to@y.example", ".first\r\n", true},
                                 Message{"refused@x.example", "refused\r\n", false},
                                 Message{"to@y.example, refused@x.example", "refused too\r\n", false},
                                 Message{"a@y.example , b@y.example", "second", true}}) {
            int rc = smtp_msgOpen(*c, "from@x.example", m.recipients);
            if (rc == 0) {
                ASSERT_EQ(smtp_msgPut(*c, m.text), 0);
                rc = smtp_msgClose(*c);
            }
            EXPECT_EQ(rc, m.accepted ? 0 : -1) << m.recipients;
            EXPECT_EQ(c.smtp->refused, m.accepted ? 0 : 1) << m.recipients;
            if (!m.accepted) {
                EXPECT_EQ(c.errorDetail(), refusal) << m.recipients;
            }
        }
        EXPECT_EQ(smtp_close(*c), 0) << c.errorDetail();
        auto got = sink.messages();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].data, ".first\r\n");
        EXPECT_EQ(got[0].to, std::vector<std::string>{"to@y.example"});
        EXPECT_EQ(got[1].data, "second\r\n");
        EXPECT_EQ(got[1].to, (std::vector<std::string>{"a@y.example", "b@y.example"}));
        EXPECT_TRUE(std::regex_match(got[0].helo, std::regex(R"(\[[\d.]+\])"))) << got[0].helo;
    }
}
