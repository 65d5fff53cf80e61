// The message relay: pure line and address checks, and whole messages forwarded through
// a real SMTP server (aiosmtpd with its default, strict line limit).
#include <gtest/gtest.h>

#include <iostream>

#include <memory>
#include <string>
#include <vector>

#include "aiosmtpd.h"
#include "globals.h"
#include "relay.h"
#include "rundriver.h"
#include "smtp.h"

namespace {

std::string S(const Str& s) { return std::string(s.data(), s.size()); }

std::string broken(const std::string& line) {
    Str s = ToStr(line);
    vfyLineLen(s);
    return S(s);
}

std::string rep(size_t n, char c) { return std::string(n, c); }

// Restores the agent-wide settings a test changed.
struct GlobalsGuard {
    ~GlobalsGuard() {
        globals.current = nullptr;
        globals.smtpVfy = 0;
        globals.runActive = 0;
        globals.acctErrorCount = 0;
        globals.smtpFrom.clear();
        globals.dftFwd.clear();
        mt_globals = MtGlobals();
    }
};

} // namespace

TEST(RelayLines, LineLengthLimit) {
    struct Row {
        const char* what;
        std::string in, want;
    };
    const std::string crlf = "\r\n";
    const std::vector<Row> rows = {
        {"1000 with CR LF", rep(998, 'a') + crlf, rep(998, 'a') + crlf},
        {"1001 with CR LF", rep(999, 'a') + crlf, rep(998, 'a') + crlf + "a" + crlf},
        {"2500 without blanks", rep(2500, 'a') + crlf,
         rep(998, 'a') + crlf + rep(998, 'a') + crlf + rep(504, 'a') + crlf},
        {"broken before the last usable blank", rep(600, 'x') + " " + rep(600, 'y') + " " + rep(600, 'z') + crlf,
         rep(600, 'x') + crlf + " " + rep(600, 'y') + crlf + " " + rep(600, 'z') + crlf},
        {"blank at column 1 is not used", " " + rep(1500, 'b') + crlf,
         " " + rep(997, 'b') + crlf + rep(503, 'b') + crlf},
        {"blank at column 1000 is not used", rep(999, 'a') + " " + rep(100, 'b') + crlf,
         rep(998, 'a') + crlf + "a " + rep(100, 'b') + crlf},
        {"blank at column 999 is used", rep(998, 'a') + " " + rep(100, 'b') + crlf,
         rep(998, 'a') + crlf + " " + rep(100, 'b') + crlf},
        {"inner CR LF restarts the count", rep(900, 'a') + crlf + "\t" + rep(900, 'b') + crlf,
         rep(900, 'a') + crlf + "\t" + rep(900, 'b') + crlf},
        {"count restarts after an inner CR LF", rep(10, 'a') + crlf + rep(1200, 'b') + crlf,
         rep(10, 'a') + crlf + rep(998, 'b') + crlf + rep(202, 'b') + crlf},
        {"no line end", rep(1001, 'c'), rep(998, 'c') + crlf + "ccc"},
        // The SMTP client doubles a dot that starts a line: it counts against the limit.
        {"leading dot, 1000 on the wire", "." + rep(996, 'a') + crlf, "." + rep(996, 'a') + crlf},
        {"leading dot, 1001 on the wire", "." + rep(997, 'a') + crlf, "." + rep(996, 'a') + crlf + "a" + crlf},
        {"segment starting with a dot", rep(998, 'a') + "." + rep(1000, 'b') + crlf,
         rep(998, 'a') + crlf + "." + rep(996, 'b') + crlf + rep(4, 'b') + crlf},
        {"short", "x\r\n", "x\r\n"},
        {"empty", "", ""},
    };
    for (const Row& r : rows) EXPECT_EQ(broken(r.in), r.want) << r.what;
}

TEST(RelayLines, AddressListCheck) {
    struct Row {
        const char* line;
        bool ok;
    };
    const std::vector<Row> rows = {
        {"To: Ann Example\r\n", false},
        {"To: \"Doe, John\" <john@example.com>\r\n", true},
        {"To: a@example.com, b@example.org\r\n", true},
        {"To: a..b@example.com\r\n", false},
        {"To: a@example..com\r\n", false},
        {"To: a. .b@example.com\r\n", false}, // blanks are ignored, so the dots meet
        {"To: a.b@example.com\r\n", true},
        {"To: \"a..b\" <ab@example.com>\r\n", true},
        {"To: \r\n", true},
        {"To: a@b@example.com\r\n", false},
        {"To: @example.com\r\n", false},
        {"To: a@\r\n", false},
        {"To: a@example.com, , b@example.com,\r\n", true},
        {"To: x@example.com <a@example.com>\r\n", false},
        {"To: Ann <ann@example.com>, Bob <bob@example.com>\r\n", true},
        {"To: \"a@example.com\" Ann\r\n", false},
        {"To: first@example.com,\r\n second@example.com\r\n", true},
        {"To: Ann\r\n <ann@example.com>\r\n", true},
        {"To: a@example.com\r\n b@example.com\r\n", false},
        {"From: a@example.com:8\r\n", true}, // only the first colon starts the list
        {"To", true},
    };
    for (const Row& r : rows) EXPECT_EQ(vfyAddressList(r.line), r.ok) << r.line;
}

TEST(RelayLines, CredentialsAndStatusLine) {
    GlobalsGuard guard;
    EXPECT_EQ(S(GetPassWord(0)), ":");
    AccountRow row;
    row.addr = ToStr("ann@example.com");
    row.user = ToStr("ann.login");
    row.pass = ToStr("pa:ss");
    globals.current = &row;
    EXPECT_EQ(S(GetPassWord(0)), "ann.login:pa:ss");
    EXPECT_EQ(S(GetPassWord(1)), "ann@example.com:pa:ss");

    testing::internal::CaptureStdout();
    UpdateStatus("Forwarding message 1 of 3", 4096);
    UpdateStatus("Forwarding message 2 of 3", 4095);
    UpdateStatus("Forwarding message 3 of 3", 5 * 1024 * 1024 + 1023);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "updateStatus\tann@example.com\tForwarding message 1 of 3  (4K sent)\n"
              "updateStatus\tann@example.com\tForwarding message 2 of 3  (3K sent)\n"
              "updateStatus\tann@example.com\tForwarding message 3 of 3  (5120K sent)\n");
}

// ---- Whole messages through aiosmtpd ----

class RelayToSmtp : public testing::Test {
protected:
    static void SetUpTestSuite() {
        SmtpSinkOptions options;
        options.faults = {"RCPT/refused@=550 5.1.1 <refused@example.net>: Recipient address rejected",
                          "RCPT/later@=451 4.3.0 Try again later"};
        sink_ = std::make_unique<SmtpSink>(options);
    }
    static void TearDownTestSuite() { sink_.reset(); }

    void SetUp() override {
        sink_->clear();
        // Progress lines, one per chunk, are not what these tests look at.
        testing::internal::CaptureStdout();
        smtp->socket.limits = {5, 5, 1, 1};
        ASSERT_EQ(smtp_connect(*smtp, sink_->server(), "0", "", 0), 0) << smtp->socket.errorDetail;
        session->smtpSocket = smtp.get();
        row.addr = ToStr("acct@example.com");
        row.fwd = ToStr("fwd@example.net");
        globals.current = &row;
        globals.dftFwd = ToStr("default@example.org");
        globals.smtpVfy = 1;
    }
    void TearDown() override {
        smtp_close(*smtp);
        // The failure reports went to the captured output too.
        std::string out = testing::internal::GetCapturedStdout();
        if (HasFailure())
            for (const std::string& line : splitLines(out))
                if (line.rfind("updateStatus\t", 0) != 0) std::cerr << line << "\n";
    }

    // Forwards one message made of the chunks; the result of ForwardMsg.
    int forward(const std::vector<std::string>& chunks) {
        size_t next = 0;
        return ForwardMsg(*session, "Forwarding message 1 of 1", [&](std::string_view& text) -> long {
            if (next == chunks.size()) return 0;
            text = chunks[next++];
            return static_cast<long>(text.size());
        });
    }

    // The message whole, cut in two at every position (every stride-th for long
    // ones), and one byte at a time.
    static std::vector<std::vector<std::string>> cuts(const std::string& text) {
        std::vector<std::vector<std::string>> out = {{text}};
        size_t stride = text.size() > 700 ? text.size() / 100 : 1;
        for (size_t i = 1; i < text.size(); i += stride) out.push_back({text.substr(0, i), text.substr(i)});
        std::vector<std::string> bytes;
        for (char c : text) bytes.emplace_back(1, c);
        out.push_back(bytes);
        return out;
    }

    // Every way of cutting text delivers want.
    void expectEveryCut(const char* what, const std::string& text, const std::string& want) {
        sink_->clear();
        auto ways = cuts(text);
        for (const auto& chunks : ways)
            ASSERT_EQ(forward(chunks), 0) << what << ": " << smtp->socket.errorDetail;
        auto got = sink_->messages();
        ASSERT_EQ(got.size(), ways.size()) << what;
        size_t wrong = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            if (got[i].data == want) continue;
            if (++wrong <= 3)
                ADD_FAILURE() << what << ", way " << i << " of " << ways.size() << ":\n"
                              << got[i].data << "\n---- expected ----\n"
                              << want;
        }
        EXPECT_EQ(wrong, 0u) << what;
    }

    GlobalsGuard guard;
    Owned<SmtpClient> smtp = smtp_construct();
    Owned<webMail> session = webMail_construct();
    AccountRow row;
    static std::unique_ptr<SmtpSink> sink_;
};

std::unique_ptr<SmtpSink> RelayToSmtp::sink_;

TEST_F(RelayToSmtp, HeadersRepairedWhereverTheChunksBreak) {
    struct Case {
        const char* what;
        std::string in, want;
    };
    const std::vector<Case> cases = {
        {"address lists",
         "From: Ann Example\r\n"
         "To: \"Doe, John\" <john@example.com>\r\n"
         "Cc: a@example.com, b@example.org\r\n"
         "Reply-To: x..y@example.com\r\n"
         "cc: a@example.com,\r\n\tb..c@example.com\r\n"
         "To: first@example.com,\r\n second@example.com\r\n"
         "Subject: folded\r\n\tcontinued\r\n"
         "X-To: nobody\r\n"
         "\r\n"
         "To: nobody, in the body\r\n"
         ".\r\n"
         "..two dots\r\n"
         "last line without CR LF",
         "X-Original-From: Ann Example\r\n"
         "To: \"Doe, John\" <john@example.com>\r\n"
         "Cc: a@example.com, b@example.org\r\n"
         "X-Original-Reply-To: x..y@example.com\r\n"
         "X-Original-cc: a@example.com,\r\n\tb..c@example.com\r\n"
         "To: first@example.com,\r\n second@example.com\r\n"
         "Subject: folded\r\n\tcontinued\r\n"
         "X-To: nobody\r\n"
         "\r\n"
         "To: nobody, in the body\r\n"
         ".\r\n"
         "..two dots\r\n"
         "last line without CR LF\r\n"},
        {"header only", "From: a@example.com\r\nSubject: only a header\r\n",
         "From: a@example.com\r\nSubject: only a header\r\n"},
        {"header only, last line checked", "Subject: s\r\nTo: nobody\r\n", "Subject: s\r\nX-Original-To: nobody\r\n"},
        {"header only, last line folded without line end", "Subject: s\r\nTo: Ann\r\n <ann@example.com>",
         "Subject: s\r\nTo: Ann\r\n <ann@example.com>\r\n"},
        {"empty header", "\r\nbody\r\n", "\r\nbody\r\n"},
        // The final flush holds a header line without its line end: it is checked too.
        {"header only, last line without line end", "Subject: x\r\nTo: bad", "Subject: x\r\nX-Original-To: bad\r\n"},
        {"one header line without line end", "To: nobody", "X-Original-To: nobody\r\n"},
        {"body line without line end is not a header", "\r\nTo: nobody", "\r\nTo: nobody\r\n"},
    };
    for (const Case& c : cases) expectEveryCut(c.what, c.in, c.want);
}

TEST_F(RelayToSmtp, LongLinesBrokenWhereverTheChunksBreak) {
    const std::string crlf = "\r\n";
    const std::string in = "Subject: long\r\n"
                           "X-Long: " + rep(700, 'h') + " " + rep(700, 'i') + crlf + crlf +
                           rep(2500, 'a') + crlf +
                           rep(600, 'x') + " " + rep(600, 'y') + " " + rep(600, 'z') + crlf +
                           rep(998, 'e') + crlf +
                           rep(1500, 'c');
    const std::string want = "Subject: long\r\n"
                             "X-Long: " + rep(700, 'h') + crlf + " " + rep(700, 'i') + crlf + crlf +
                             rep(998, 'a') + crlf + rep(998, 'a') + crlf + rep(504, 'a') + crlf +
                             rep(600, 'x') + crlf + " " + rep(600, 'y') + crlf + " " + rep(600, 'z') + crlf +
                             rep(998, 'e') + crlf +
                             rep(998, 'c') + crlf + rep(502, 'c') + crlf;
    expectEveryCut("long lines", in, want);
    // A last line that would pass 1000 only with the line end the SMTP client adds.
    expectEveryCut("last line of 999", "Subject: x\r\n\r\n" + rep(999, 'd'),
                   "Subject: x\r\n\r\n" + rep(998, 'd') + crlf + "d" + crlf);
    expectEveryCut("last line of 998", "Subject: x\r\n\r\n" + rep(998, 'd'),
                   "Subject: x\r\n\r\n" + rep(998, 'd') + crlf);
    // A message without a blank line: its last header line is broken like any other.
    expectEveryCut("header only, long last header",
                   "Subject: s\r\nX-Long: " + rep(700, 'h') + " " + rep(700, 'i') + crlf,
                   "Subject: s\r\nX-Long: " + rep(700, 'h') + crlf + " " + rep(700, 'i') + crlf);
}

TEST_F(RelayToSmtp, OneMegabyteLineWithBoundedMemory) {
    const std::string line = rep(1 << 20, 'm');
    std::string want = "Subject: big\r\n\r\n";
    for (size_t at = 0; at < line.size(); at += 998) want += line.substr(at, 998) + "\r\n";
    for (const std::string& end : {std::string(), std::string("\r\n")}) {
        sink_->clear();
        const std::string text = "Subject: big\r\n\r\n" + line + end;
        size_t next = 0, most = 0;
        int rc = ForwardMsg(*session, "Forwarding message 1 of 1", [&](std::string_view& chunk) -> long {
            most = std::max(most, session->relayBuf.capacity());
            if (next >= text.size()) return 0;
            chunk = std::string_view(text).substr(next, 4096);
            next += chunk.size();
            return static_cast<long>(chunk.size());
        });
        ASSERT_EQ(rc, 0) << smtp->socket.errorDetail;
        EXPECT_LT(most, 256u * 1024) << "the relay held the line";
        auto got = sink_->messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].data == want) << "received " << got[0].data.size() << " bytes, expected " << want.size();
        EXPECT_EQ(session->msgBytes, static_cast<long>(text.size()));
    }
}

// A line too long to hold is broken while it arrives; the breaks must still fall where
// breaking the whole line puts them, however the line was cut. A blank right after a
// break (column 2 of the next segment) is where a resumed walk would differ.
TEST_F(RelayToSmtp, HeldLineBreaksLikeTheWholeLine) {
    std::string line = rep(150000, 'w');
    for (size_t at = 999; at < line.size(); at += 998) line[at] = ' ';
    line += "\r\n";
    const std::string head = "Subject: blanks\r\n\r\n";
    const std::string want = head + broken(line);
    // Chunks of 20 end between the line's CR and LF.
    ASSERT_EQ((head.size() + line.size() - 1) % 20, 0u);
    for (size_t size : {line.size() + head.size(), size_t(4096), size_t(1000), size_t(997), size_t(20), size_t(7)}) {
        sink_->clear();
        const std::string text = head + line;
        std::vector<std::string> chunks;
        for (size_t at = 0; at < text.size(); at += size) chunks.push_back(text.substr(at, size));
        ASSERT_EQ(forward(chunks), 0) << smtp->socket.errorDetail;
        auto got = sink_->messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].data == want) << "chunks of " << size;
    }
}

TEST_F(RelayToSmtp, WithoutCheckingTheChunksPassUnchanged) {
    globals.smtpVfy = 0;
    const std::string text = "From: Ann Example\r\nTo: a..b@example.com\r\n\tfolded\r\n\r\n.\r\nbody\r\nno end";
    expectEveryCut("unchecked", text, text + "\r\n");
    EXPECT_TRUE(session->relayBuf.empty());
}

TEST_F(RelayToSmtp, EnvelopeAndFailures) {
    struct Case {
        const char* fwd;
        const char* from;
        std::string sender;
        std::vector<std::string> to;
    };
    const std::vector<Case> cases = {
        {"fwd@example.net", "", "acct@example.com", {"fwd@example.net"}},
        {"(DEFAULT)", "", "acct@example.com", {"default@example.org"}},
        {"", "relay@example.com", "relay@example.com", {"default@example.org"}},
        {"one@example.net, two@example.net", "", "acct@example.com", {"one@example.net", "two@example.net"}},
    };
    for (const Case& c : cases) {
        row.fwd = ToStr(c.fwd);
        globals.smtpFrom = ToStr(c.from);
        ASSERT_EQ(forward({"Subject: x\r\n\r\nbody\r\n"}), 0) << smtp->socket.errorDetail;
    }
    auto got = sink_->messages();
    ASSERT_EQ(got.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(got[i].from, cases[i].sender) << cases[i].fwd;
        EXPECT_EQ(got[i].to, cases[i].to) << cases[i].fwd;
    }

    // A refusal for good is the caller's to report (as a note on that message); the
    // session stays ready for the next message.
    globals.runActive = 1;
    globals.smtpFrom.clear();
    row.fwd = ToStr("refused@example.net");
    testing::internal::CaptureStderr();
    EXPECT_EQ(forward({"Subject: x\r\n\r\nbody\r\n"}), kMsgRefused);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(smtp->socket.errorDetail, ToStr("550 5.1.1 <refused@example.net>: Recipient address rejected"));
    EXPECT_TRUE(smtp->socket.connected);
    EXPECT_EQ(mt_globals.retryAccount, 0);

    // A temporary refusal goes through the alert rule and marks the account for a retry.
    row.fwd = ToStr("later@example.net");
    testing::internal::CaptureStderr();
    EXPECT_EQ(forward({"Subject: x\r\n\r\nbody\r\n"}), -1);
    std::string alert = testing::internal::GetCapturedStderr();
    EXPECT_NE(alert.find("Account: acct@example.com"), std::string::npos) << alert;
    EXPECT_NE(alert.find("451 4.3.0 Try again later"), std::string::npos) << alert;
    EXPECT_NE(alert.find("Action: Retry account"), std::string::npos) << alert;
    EXPECT_EQ(mt_globals.retryAccount, 1);

    // A failing source ends the transfer unfinished and is left to the caller to report.
    Owned<SmtpClient> fresh = smtp_construct();
    ASSERT_EQ(smtp_connect(*fresh, sink_->server(), "0", "", 0), 0);
    session->smtpSocket = fresh.get();
    row.fwd = ToStr("fwd@example.net");
    int calls = 0;
    int rc = ForwardMsg(*session, "Forwarding message 1 of 1", [&](std::string_view& text) -> long {
        if (calls++ > 0) return -1;
        text = "Subject: cut off\r\n\r\npart";
        return static_cast<long>(text.size());
    });
    EXPECT_EQ(rc, kSourceFailed);
    bSocket_closeSocket(fresh->socket);
    session->smtpSocket = smtp.get();
    EXPECT_EQ(sink_->count(), cases.size());
}
