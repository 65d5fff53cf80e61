#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <regex>

#include "aiosmtpd.h"
#include "scripted_server.h"
#include "smtp.h"
#include "smtp_test_client.h"
#include "testca.h"
#include "testutil.h"

namespace {

// The wire form of the whole text, as the protocol defines it: every bare CR and bare
// LF becomes CR LF, then every CR LF "." in CR LF + text becomes CR LF "..".
std::string wireWhole(const std::string& text) {
    std::string s = "\r\n", out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') {
            s += text[i];
            continue;
        }
        s += "\r\n";
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    for (size_t i = 0; i < s.size(); ++i) {
        out += s[i];
        if (s[i] == '.' && i >= 2 && s[i - 1] == '\n' && s[i - 2] == '\r') out += '.';
    }
    return out.substr(2);
}

std::string stuffPieces(const std::vector<std::string>& pieces, std::string& tailOut) {
    Str tail = ToStr("\r\n"), out;
    for (const auto& p : pieces) smtp_stuffText(tail, p, out);
    tailOut = std::string(View(tail));
    return std::string(View(out));
}

// Cuts text at the given positions (ascending, inside the text).
std::vector<std::string> cut(const std::string& text, std::vector<size_t> at) {
    std::vector<std::string> pieces;
    size_t from = 0;
    at.push_back(text.size());
    for (size_t to : at) {
        pieces.push_back(text.substr(from, to - from));
        from = to;
    }
    return pieces;
}

} // namespace

TEST(SmtpStuffing, LineEndsAndDotsWhereverTheTextIsCut) {
    struct Row {
        const char* what;
        std::string in, want;
    };
    const std::vector<Row> rows = {
        {"CR LF text passes unchanged", "a\r\nb\r\n", "a\r\nb\r\n"},
        {"dot at the very start", ".a", "..a"},
        {"dot lines", "x\r\n.\r\n..y\r\nz.\r\n", "x\r\n..\r\n...y\r\nz.\r\n"},
        {"bare LF before a dot line", "a\n.\r\nMAIL FROM:<x>", "a\r\n..\r\nMAIL FROM:<x>"},
        {"bare CR before a dot line", "a\r.\r\nb", "a\r\n..\r\nb"},
        {"CR CR LF", "a\r\r\nb", "a\r\n\r\nb"},
        {"LF CR", "a\n\rb", "a\r\n\r\nb"},
        {"LF LF", "\n\n.", "\r\n\r\n.."},
        {"bare CR at the end", "end\r", "end\r\n"},
        {"mixed", ".a\r\n.\r\n..b\r\nc.\r\n\r\n.\r.\n.\r\r\n.x\n\r\n.",
         "..a\r\n..\r\n...b\r\nc.\r\n\r\n..\r\n..\r\n..\r\n\r\n..x\r\n\r\n.."},
    };
    std::string tail;
    for (const Row& r : rows) {
        ASSERT_EQ(wireWhole(r.in), r.want) << r.what; // the reference agrees with the table
        for (size_t i = 0; i <= r.in.size(); ++i)
            for (size_t j = i; j <= r.in.size(); ++j) {
                EXPECT_EQ(stuffPieces(cut(r.in, {i, j}), tail), r.want) << r.what << ", cut at " << i << " and " << j;
                EXPECT_EQ(tail, r.in.substr(r.in.size() - 1)) << r.what;
            }
        std::vector<std::string> bytes = {""}; // an empty piece changes nothing
        for (char c : r.in) bytes.emplace_back(1, c);
        EXPECT_EQ(stuffPieces(bytes, tail), r.want) << r.what << ", one byte at a time";
    }
}

// ---- Byte-level cases against scripted servers, fed whole and one byte at a time ----

INSTANTIATE_TEST_SUITE_P(Feeding, SmtpScripted, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "OneByteAtATime" : "Whole"; });

TEST_P(SmtpScripted, NoAuthenticationWithoutTheFlagAfterMultiLineGreeting) {
    for (const char* flag : {"0", "", "no", "00"}) {
        ScriptedServer server(fixture("smtp/greeting_multiline.txt"), options());
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), flag, "user:secret", 0), 0) << c.errorDetail();
        EXPECT_EQ(c.smtp->port, server.port());
        ASSERT_EQ(smtp_close(*c), 0) << c.errorDetail();
        EXPECT_EQ(server.result(), "") << "authFlag \"" << flag << "\"";
        EXPECT_TRUE(std::regex_match(server.clientBytes(),
                                     std::regex(R"(EHLO \[\d+\.\d+\.\d+\.\d+\]\r\nRSET\r\nQUIT\r\n)")))
            << server.clientBytes();
        EXPECT_FALSE(c.smtp->socket.connected);
    }
}

TEST_P(SmtpScripted, EhloAndAuthLoginWhateverTheServerLists) {
    for (const char* flag : {"1", "2x", "-1"}) {
        ScriptedServer server(fixture("smtp/ehlo_auth.txt"), options());
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), flag, "user@x:pa:ss", 0), 0) << c.errorDetail();
        ASSERT_EQ(smtp_close(*c), 0);
        EXPECT_EQ(server.result(), "") << "authFlag \"" << flag << "\"";
        EXPECT_EQ(server.clientBytes().substr(0, 6), "EHLO [");
    }
}

TEST_P(SmtpScripted, MessagesAreStuffedAndEndedOnce) {
    ScriptedServer server(fixture("smtp/two_messages.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0) << c.errorDetail();
    // The first ends in CR LF, the second does not and gets one.
    ASSERT_EQ(smtp_msgOpen(*c, "from@x", " a@x , b@y "), 0) << c.errorDetail();
    for (const char* piece : {".first\r", "\n.", "\r\nend\r\n"}) ASSERT_EQ(smtp_msgPut(*c, piece), 0);
    ASSERT_EQ(smtp_msgClose(*c), 0) << c.errorDetail();
    ASSERT_EQ(smtp_msgOpen(*c, "from@x", " a@x , b@y "), 0) << c.errorDetail();
    ASSERT_EQ(smtp_msgPut(*c, "no line end"), 0);
    ASSERT_EQ(smtp_msgClose(*c), 0) << c.errorDetail();
    ASSERT_EQ(smtp_close(*c), 0);
    EXPECT_EQ(server.result(), "");
    const std::string envelope = "MAIL FROM:<from@x>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n";
    std::string bytes = server.clientBytes();
    bytes.erase(0, bytes.find("MAIL"));
    EXPECT_EQ(bytes, envelope + "..first\r\n..\r\nend\r\n.\r\n" + envelope + "no line end\r\n.\r\nQUIT\r\n");
}

TEST_P(SmtpScripted, RefusalsCarryTheServersLine) {
    struct Case {
        const char* script;
        const char* authFlag;
        const char* detail;
    };
    for (const Case& k : {Case{"smtp/greeting_refused.txt", "0", "554 5.3.2 No service for you"},
                          Case{"smtp/ehlo_refused.txt", "1",
                               "EHLO, which AUTH LOGIN needs, was refused: 502 5.5.2 Error: command not recognized"},
                          Case{"smtp/auth_refused.txt", "1", "535 5.7.8 Error: authentication failed"}}) {
        ScriptedServer server(fixture(k.script), options());
        SmtpTestClient c;
        EXPECT_EQ(smtp_connect(*c, local(server), k.authFlag, "user@x:wrong", 0), -1) << k.script;
        EXPECT_EQ(c.errorText(), "SMTP server returned an error.");
        EXPECT_EQ(c.errorDetail(), k.detail);
        EXPECT_FALSE(c.smtp->socket.connected);
        EXPECT_EQ(server.result(), "") << k.script;
    }
}

TEST_P(SmtpScripted, RefusedMessageLeavesTheSessionReady) {
    ScriptedServer server(fixture("smtp/recipient_refused.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
    EXPECT_EQ(smtp_msgOpen(*c, "from@x", "a@x,b@y"), -1);
    EXPECT_EQ(c.smtp->refused, 1);
    EXPECT_EQ(c.errorText(), "SMTP server returned an error.");
    EXPECT_EQ(c.errorDetail(), "550 5.1.1 <a@x>: Recipient address rejected");
    EXPECT_TRUE(c.smtp->socket.connected);
    ASSERT_EQ(smtp_msgOpen(*c, "from@x", "c@z"), 0) << c.errorDetail();
    EXPECT_EQ(c.smtp->refused, 0);
    ASSERT_EQ(smtp_msgPut(*c, "next\r\n"), 0);
    ASSERT_EQ(smtp_msgClose(*c), 0) << c.errorDetail();
    ASSERT_EQ(smtp_close(*c), 0) << c.errorDetail();
    EXPECT_EQ(server.result(), "");
    EXPECT_EQ(server.clientBytes().find("b@y"), std::string::npos);
}

TEST_P(SmtpScripted, RefusalFollowedByHangUp) {
    ScriptedServer server(fixture("smtp/refused_then_closed.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
    EXPECT_EQ(smtp_msgOpen(*c, "from@x", "a@x"), -1);
    EXPECT_EQ(c.smtp->refused, 1);
    EXPECT_FALSE(c.smtp->socket.connected);
    // The refusal, not the lost RSET, explains the failure, and stays on the closed session.
    EXPECT_EQ(c.errorDetail(), "553 5.7.1 Sender rejected");
    EXPECT_EQ(smtp_msgClose(*c), -1);
    EXPECT_EQ(c.smtp->refused, 0);
    EXPECT_EQ(c.errorDetail(), "553 5.7.1 Sender rejected");
    EXPECT_EQ(server.result(), "");
}

TEST_P(SmtpScripted, QuitMustBeAnsweredWith221) {
    ScriptedServer server(fixture("smtp/quit_not_221.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
    EXPECT_EQ(smtp_close(*c), -1);
    EXPECT_EQ(c.errorText(), "SMTP server returned an error.");
    EXPECT_EQ(c.errorDetail(), "250 2.0.0 Ok");
    EXPECT_FALSE(c.smtp->socket.connected);
}

TEST_P(SmtpScripted, ServerGoneDuringTheMessage) {
    ScriptedServer server(fixture("smtp/closed_in_data.txt"), options());
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
    ASSERT_EQ(smtp_msgOpen(*c, "from@x", "a@x"), 0);
    ASSERT_EQ(server.result(), "");
    smtp_msgPut(*c, "Subject: lost\r\n\r\nbody\r\n");
    EXPECT_EQ(smtp_msgClose(*c), -1);
    EXPECT_EQ(c.errorText(), "An error occurred while communicating with the SMTP server.");
    EXPECT_FALSE(c.errorDetail().empty());
}

TEST(SmtpRefusedArguments, NothingIsSentForUnsafeCredentials) {
    const std::string fits(198, 'u'), tooLong(199, 'u');
    struct Case {
        std::string credentials;
        const char* what;
    };
    for (const Case& k : {Case{"us\r\ner:pw", "user name"}, Case{"user:p\nw", "password"},
                          Case{tooLong + ":pw", "user name"}, Case{"user:" + tooLong, "password"},
                          Case{std::string("us\0er:pw", 8), "user name"}}) {
        ScriptedServer server("STALL\n");
        SmtpTestClient c;
        EXPECT_EQ(smtp_connect(*c, local(server), "1", k.credentials, 0), -1);
        EXPECT_EQ(c.errorText(), std::string("The ") + k.what + " cannot be sent to the SMTP server.");
        EXPECT_EQ(server.connections(), 0);
    }
    // Without authentication the credentials are not used, so not checked either.
    ScriptedServer server(fixture("smtp/greeting_multiline.txt"));
    SmtpTestClient c;
    EXPECT_EQ(smtp_connect(*c, local(server), "0", "us\r\ner:pw", 0), 0);
    ScriptedServer longest("S: 220 hi\nC: *\nS: 250 ok\nC: RSET\nS: 250 ok\nC: AUTH LOGIN\nS: 334 x\nC: *\nS: 334 y\n"
                           "C: *\nS: 235 ok\n");
    SmtpTestClient d;
    EXPECT_EQ(smtp_connect(*d, local(longest), "1", fits + ":" + fits, 0), 0) << d.errorText();
    EXPECT_EQ(longest.result(), "");
}

TEST(SmtpRefusedArguments, NothingIsSentForUnsafeAddresses) {
    // MAIL FROM:< + 254 + >\r\n and RCPT TO:< + 256 + >\r\n are exactly 268 bytes.
    const std::string sender(254, 's'), rcpt(256, 'r');
    struct Case {
        std::string sender, recipients;
        const char* what;
    };
    for (const Case& k : {Case{"a@x>\r\nRCPT TO:<evil@y", "b@y", "sender address"},
                          Case{sender + "s", "b@y", "sender address"}, Case{"a@x", "b@y, c@\nz", "recipient address"},
                          Case{"a@x", "b@y," + rcpt + "r", "recipient address"}}) {
        ScriptedServer server(fixture("smtp/ready.txt"));
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
        EXPECT_EQ(smtp_msgOpen(*c, k.sender, k.recipients), -1);
        EXPECT_EQ(c.errorText(), std::string("The ") + k.what + " cannot be sent to the SMTP server.");
        EXPECT_EQ(server.result(), "");
        EXPECT_EQ(server.clientBytes().find("MAIL"), std::string::npos);
    }
    ScriptedServer server("S: 220 hi\nC: *\nS: 250 ok\nC: RSET\nS: 250 ok\nC: MAIL FROM:<" + sender +
                          ">\nS: 250 ok\nC: RCPT TO:<" + rcpt + ">\nS: 250 ok\nC: DATA\nS: 354 go\n");
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, local(server), "0", "", 0), 0);
    EXPECT_EQ(smtp_msgOpen(*c, sender, " " + rcpt + " "), 0) << c.errorText();
    EXPECT_EQ(server.result(), "");
}

TEST(SmtpConnect, DefaultPortsAndTheTrace) {
    for (int tls : {0, 1}) {
        SmtpTestClient c;
        c.smtp->socket.limits.connectWait = 1;
        smtp_connect(*c, "127.0.0.1:0", "0", "", tls);
        EXPECT_EQ(c.smtp->port, tls ? 465 : 25);
    }
    TempDir dir;
    ScriptedServer server(fixture("smtp/ehlo_auth.txt"));
    SmtpTestClient c;
    debugLogSetPath(dir.file("trace.log"));
    debugReq = 1;
    int rc = smtp_connect(*c, local(server), "1", "user@x:pa:ss", 0);
    debugReq = 0;
    debugLogSetPath("");
    ASSERT_EQ(rc, 0) << c.errorDetail();
    std::vector<std::string> smtpLines;
    for (std::string line : splitLines(readFile(dir.file("trace.log")))) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("SMTP<-", 0) == 0 || line.rfind("SMTP->", 0) == 0 || line.rfind("SMTP address", 0) == 0)
            smtpLines.push_back(line.rfind("SMTP<-EHLO", 0) == 0 ? "SMTP<-EHLO" : line);
    }
    std::vector<std::string> want = {"SMTP address is 127.0.0.1, port is " + std::to_string(server.port()),
                                     "SMTP->220 mail.example ESMTP", "SMTP<-EHLO", "SMTP->250-mail.example",
                                     "SMTP->250-PIPELINING", "SMTP->250 8BITMIME", "SMTP<-RSET",
                                     "SMTP->250 2.0.0 Ok", "SMTP<-AUTH LOGIN", "SMTP->334 VXNlcm5hbWU6",
                                     // The credential lines keep their place, not their content.
                                     "SMTP<-********", "SMTP->334 UGFzc3dvcmQ6", "SMTP<-********",
                                     "SMTP->235 2.7.0 Authentication successful"};
    EXPECT_EQ(smtpLines, want);
}

// ---- Against a real server (aiosmtpd), one per suite ----

class SmtpAiosmtpd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SmtpSinkOptions plain;
        plain.user = "user";
        plain.password = "pass";
        plain.faults = {"RCPT/refused@=550 5.1.1 <refused@x.example>: Recipient address rejected"};
        sink = std::make_unique<SmtpSink>(plain);
        SmtpSinkOptions tls = plain;
        tls.tls = true;
        tlsSink = std::make_unique<SmtpSink>(tls);
    }
    static void TearDownTestSuite() {
        sink.reset();
        tlsSink.reset();
    }
    void SetUp() override {
        sink->clear();
        tlsSink->clear();
    }

    // Sends each message (as its pieces) on one connection; true when all went through.
    static bool sendAll(SmtpTestClient& c, const std::string& server, const std::vector<std::vector<std::string>>& messages,
                        int tls = 0, const char* auth = "0") {
        if (smtp_connect(*c, server, auth, "user:pass", tls) != 0) return false;
        for (const auto& pieces : messages) {
            if (smtp_msgOpen(*c, "from@x.example", "to@y.example") != 0) return false;
            for (const auto& p : pieces)
                if (smtp_msgPut(*c, p) != 0) return false;
            if (smtp_msgClose(*c) != 0) return false;
        }
        return smtp_close(*c) == 0;
    }

    static std::unique_ptr<SmtpSink> sink;
    static std::unique_ptr<SmtpSink> tlsSink;
};

std::unique_ptr<SmtpSink> SmtpAiosmtpd::sink;
std::unique_ptr<SmtpSink> SmtpAiosmtpd::tlsSink;

TEST_F(SmtpAiosmtpd, MessagesArriveByteIdenticalWhateverThePieces) {
    const std::string text = ".top\r\n..two\r\n.\r\nmid. dle\r\n\r\n.\r\nend\r\n";
    std::vector<std::vector<std::string>> messages;
    for (size_t i = 0; i <= text.size(); ++i) messages.push_back(cut(text, {i}));
    std::vector<std::string> bytes;
    for (char ch : text) bytes.emplace_back(1, ch);
    messages.push_back(bytes);
    messages.push_back({"a\r", "\n.b\r", "\n", ".", "\r\n"}); // CR | LF "." across pieces
    messages.push_back({"no line end at all"});
    messages.push_back({});
    SmtpTestClient c;
    ASSERT_TRUE(sendAll(c, sink->server(), messages)) << c.errorText() << " " << c.errorDetail();
    auto got = sink->messages();
    ASSERT_EQ(got.size(), messages.size());
    for (size_t i = 0; i + 3 < messages.size(); ++i) EXPECT_EQ(got[i].data, text) << "message " << i;
    EXPECT_EQ(got[messages.size() - 3].data, "a\r\n.b\r\n.\r\n");
    EXPECT_EQ(got[messages.size() - 2].data, "no line end at all\r\n");
    EXPECT_EQ(got.back().data, "");
    EXPECT_EQ(got[0].from, "from@x.example");
    EXPECT_EQ(got[0].to, std::vector<std::string>{"to@y.example"});
    EXPECT_TRUE(std::regex_match(got[0].helo, std::regex(R"(\[\d+\.\d+\.\d+\.\d+\])"))) << got[0].helo;
    EXPECT_EQ(got[0].authUser, "");
}

TEST_F(SmtpAiosmtpd, BareLineEndsArriveAsCrLf) {
    SmtpTestClient c;
    // A bare LF before "." must not let a lenient server end the data there.
    ASSERT_TRUE(sendAll(c, sink->server(), {{"a\n.\nMAIL FROM:<x@y>\n"}, {"bare\nline\r", "\n.\n", "end\r"}}))
        << c.errorText() << " " << c.errorDetail();
    auto got = sink->messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, "a\r\n.\r\nMAIL FROM:<x@y>\r\n");
    EXPECT_EQ(got[1].data, "bare\r\nline\r\n.\r\nend\r\n");
}

TEST_F(SmtpAiosmtpd, LargeMessageInUnevenPieces) {
    std::string text;
    for (int i = 0; text.size() < 600000; ++i)
        text += (i % 3 == 0 ? "." : "") + std::string(static_cast<size_t>(i % 997), 'a' + i % 26) + "\r\n";
    std::mt19937 random(7);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size();) {
        size_t n = std::min<size_t>(text.size() - at, random() % 3 == 0 ? random() % 8 : random() % 40000);
        pieces.push_back(text.substr(at, n));
        at += n;
    }
    pieces.push_back(text.substr(0, 0));
    SmtpTestClient c;
    ASSERT_TRUE(sendAll(c, sink->server(), {pieces, {text}})) << c.errorDetail();
    auto got = sink->messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].data == text);
    EXPECT_TRUE(got[1].data == text);
}

TEST_F(SmtpAiosmtpd, AuthLoginAndTwoRecipients) {
    SmtpTestClient c;
    ASSERT_EQ(smtp_connect(*c, sink->server(), "1", "user:pass:ignored", 0), 0) << c.errorDetail();
    ASSERT_EQ(smtp_msgOpen(*c, "from@x.example", "a@y.example , b@z.example"), 0) << c.errorDetail();
    ASSERT_EQ(smtp_msgPut(*c, "Subject: hi\r\n\r\nbody\r\n"), 0);
    ASSERT_EQ(smtp_msgClose(*c), 0) << c.errorDetail();
    ASSERT_EQ(smtp_close(*c), 0);
    auto got = sink->messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].authUser, "user");
    EXPECT_EQ(got[0].to, (std::vector<std::string>{"a@y.example", "b@z.example"}));
    EXPECT_EQ(got[0].data, "Subject: hi\r\n\r\nbody\r\n");

    SmtpTestClient wrong;
    EXPECT_EQ(smtp_connect(*wrong, sink->server(), "1", "user:nope", 0), -1);
    EXPECT_EQ(wrong.errorText(), "SMTP server returned an error.");
    EXPECT_EQ(wrong.errorDetail().substr(0, 4), "535 ");

    SmtpTestClient refused;
    ASSERT_EQ(smtp_connect(*refused, sink->server(), "1", "user:pass", 0), 0);
    EXPECT_EQ(smtp_msgOpen(*refused, "from@x.example", "ok@y.example, refused@x.example"), -1);
    EXPECT_EQ(refused.errorDetail(), "550 5.1.1 <refused@x.example>: Recipient address rejected");
    EXPECT_EQ(sink->count(), 1u);
}

TEST_F(SmtpAiosmtpd, TlsFromTheFirstByte) {
    const std::string server = "localhost:" + std::to_string(tlsSink->port());
    trustOnly(testCerts().wrongCaCert);
    SmtpTestClient untrusted;
    EXPECT_EQ(smtp_connect(*untrusted, server, "1", "user:pass", 1), -1);
    EXPECT_EQ(untrusted.errorText(), "An error occurred while communicating with the SMTP server.");

    trustOnly(testCerts().caCert);
    SmtpTestClient c;
    ASSERT_TRUE(sendAll(c, server, {{".dot\r\n", "text"}}, 1, "1")) << c.errorText() << " " << c.errorDetail();
    auto got = tlsSink->messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].tls);
    EXPECT_EQ(got[0].authUser, "user");
    EXPECT_EQ(got[0].data, ".dot\r\ntext\r\n");
}

TEST(SmtpAiosmtpdFaults, PermanentRefusalKeepsTheSessionTemporaryEndsIt) {
    struct Case {
        const char* fault;
        const char* detail;
        bool permanent;
    };
    for (const Case& k : {Case{"MAIL*1=550 5.7.1 Sender refused", "550 5.7.1 Sender refused", true},
                          Case{"RCPT*1=550 5.1.1 No such user", "550 5.1.1 No such user", true},
                          Case{"DATA*1=554 5.3.4 Too big", "554 5.3.4 Too big", true},
                          Case{"DOT/X-Refuse=554 5.6.0 Content refused", "554 5.6.0 Content refused", true},
                          Case{"DOT*1=451 4.3.0 Try again later", "451 4.3.0 Try again later", false},
                          Case{"RCPT*1=452 4.2.2 Mailbox full", "452 4.2.2 Mailbox full", false}}) {
        SmtpSinkOptions options;
        options.faults = {k.fault};
        SmtpSink sink(options);
        SmtpTestClient c;
        ASSERT_EQ(smtp_connect(*c, sink.server(), "0", "", 0), 0) << c.errorDetail();
        int rc = smtp_msgOpen(*c, "from@x.example", "to@y.example");
        if (rc == 0) {
            ASSERT_EQ(smtp_msgPut(*c, "X-Refuse: yes\r\n\r\nfirst\r\n"), 0);
            rc = smtp_msgClose(*c);
        }
        EXPECT_EQ(rc, -1) << k.fault;
        EXPECT_EQ(c.errorText(), "SMTP server returned an error.") << k.fault;
        EXPECT_EQ(c.errorDetail(), k.detail) << k.fault;
        EXPECT_EQ(c.smtp->refused, k.permanent ? 1 : 0) << k.fault;
        EXPECT_EQ(c.smtp->socket.connected == 1, k.permanent) << k.fault;
        if (!k.permanent) {
            ASSERT_EQ(smtp_connect(*c, sink.server(), "0", "", 0), 0) << c.errorDetail();
        }
        // The next message goes through, on the same session after a refusal for good.
        ASSERT_EQ(smtp_msgOpen(*c, "from@x.example", "to@y.example"), 0) << k.fault << ": " << c.errorDetail();
        ASSERT_EQ(smtp_msgPut(*c, "second\r\n"), 0);
        EXPECT_EQ(smtp_msgClose(*c), 0) << k.fault << ": " << c.errorDetail();
        EXPECT_EQ(smtp_close(*c), 0) << k.fault;
        auto got = sink.messages();
        ASSERT_EQ(got.size(), 1u) << k.fault;
        EXPECT_EQ(got[0].data, "second\r\n") << k.fault;
    }
}
