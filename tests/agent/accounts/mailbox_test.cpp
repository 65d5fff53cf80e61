// The POP and IMAP modules against a real Dovecot and a real SMTP server: listing
// against the mail index, clean-up of unconfirmed deletions, forwarding, deleting, and
// the marks written back.
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "dovecot.h"
#include "globals.h"
#include "imap.h"
#include "mailindex.h"
#include "pop.h"
#include "rundriver.h"
#include "scripted_server.h"
#include "smtp.h"

namespace {

std::string S(const Str& s) { return std::string(s.data(), s.size()); }

// The CR LF terminated lines of text.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.push_back(text.substr(at, end - at));
    return out;
}

const std::string kAddr = "box@example.com";

std::string header() { return "[" + S(Base64_Encode(kAddr)) + "]\n"; }

struct Protocol {
    const char* type;
    void (*init)(webMail&);
    int (Dovecot::*port)() const;
};
const Protocol kPop = {"POP", PopMail_Init, &Dovecot::popPort};
const Protocol kImap = {"IMAP", ImapMail_Init, &Dovecot::imapPort};

std::string message(int n) {
    return "From: Sender <sender@example.com>\nTo: box@example.com\nSubject: message " + std::to_string(n) +
           "\n\nBody of message " + std::to_string(n) + ".\n.\n";
}

class Mailbox : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dovecot_ = std::make_unique<Dovecot>();
        sink_ = std::make_unique<SmtpSink>();
    }
    static void TearDownTestSuite() {
        dovecot_.reset();
        sink_.reset();
    }

    void SetUp() override {
        dovecot_->clearMailbox();
        sink_->clear();
        testing::internal::CaptureStdout(); // status lines
        for (bSocket* s : {&pop->socket, &imap->socket, &smtp->socket}) s->limits = {5, 5, 1, 1};
        row.addr = ToStr(kAddr);
        row.user = ToStr(Dovecot::kUser);
        row.pass = ToStr(Dovecot::kPassword);
        row.fwd = ToStr("(DEFAULT)");
        row.secure = ToStr("0");
        globals.current = &row;
        globals.dftFwd = ToStr("fwd@example.org");
        globals.smtpVfy = 1;
        mt_globals = MtGlobals();
    }
    void TearDown() override {
        std::string out = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            for (const std::string& line : splitLines(out))
                if (line.rfind("updateStatus\t", 0) != 0) std::cerr << line << "\n";
            std::cerr << "Dovecot log:\n" << dovecot_->log();
        }
        for (bSocket* s : {&pop->socket, &imap->socket, &smtp->socket}) bSocket_closeSocket(*s);
        globals.current = nullptr;
        globals.smtpVfy = 0;
        globals.dftFwd.clear();
        mt_globals = MtGlobals();
    }

    // A new session for the account, as the run driver makes one per account.
    webMail& begin(const Protocol& p, const char* leave) {
        row.type = ToStr(p.type);
        row.pop = ToStr("127.0.0.1:" + std::to_string(((*dovecot_).*p.port)()));
        row.leave = ToStr(leave);
        mt_globals.session = webMail_construct();
        webMail& s = *mt_globals.session;
        s.popSocket = pop.get();
        s.imapSocket = imap.get();
        s.smtpSocket = smtp.get();
        FindModule(p.type).init(s);
        return s;
    }

    void loadIndex(const std::string& content) {
        writeFile(index, content);
        mt_globals.mailIndex = mailIndex_construct();
        GetAcctIndex(*mt_globals.mailIndex, index, kAddr);
    }
    std::string mark(const std::string& id) const { return S(FindAcct(*mt_globals.mailIndex, id)); }

    // Opens SMTP, forwards, closes SMTP: what the run driver does around ProcessMsg.
    int forward(webMail& s) {
        if (smtp_connect(*smtp, sink_->server(), "0", "", 0) < 0) return -1;
        int rc = s.ProcessMsg(s);
        if (smtp_close(*smtp) < 0) return -1;
        return rc;
    }

    // The identifiers the server lists now, in its order.
    std::vector<std::string> serverIds(const Protocol& p) {
        std::vector<std::string> ids;
        std::string server = "127.0.0.1:" + std::to_string(((*dovecot_).*p.port)());
        if (p.init == PopMail_Init) {
            auto c = pop_construct();
            EXPECT_EQ(pop_connect(*c, server, Dovecot::credentials(), "POP", 0), 0);
            EXPECT_EQ(pop_uidl(*c), 0);
            for (const std::string& line : lines(S(c->text))) ids.push_back(line.substr(line.find(' ') + 1));
            pop_close(*c);
        } else {
            auto c = imap_construct();
            EXPECT_EQ(imap_connect(*c, server, Dovecot::credentials(), "IMAP", 0), 0);
            EXPECT_EQ(imap_uidl(*c), 0);
            ids = lines(S(c->text));
            imap_close(*c);
        }
        return ids;
    }

    std::vector<std::string> received() {
        std::vector<std::string> data;
        for (const ReceivedMail& m : sink_->messages()) {
            EXPECT_EQ(m.from, kAddr);
            EXPECT_EQ(m.to, std::vector<std::string>{"fwd@example.org"});
            data.push_back(m.data);
        }
        return data;
    }

    TempDir dir;
    const std::string index = dir.file("com.vexlo.Tarnwell.index");
    Owned<PopClient> pop = pop_construct();
    Owned<ImapClient> imap = imap_construct();
    Owned<SmtpClient> smtp = smtp_construct();
    AccountRow row;
    static std::unique_ptr<Dovecot> dovecot_;
    static std::unique_ptr<SmtpSink> sink_;
};

std::unique_ptr<Dovecot> Mailbox::dovecot_;
std::unique_ptr<SmtpSink> Mailbox::sink_;

} // namespace

TEST_F(Mailbox, IdentifiersFollowTheIndexProtocol) {
    for (const Protocol& p : {kPop, kImap}) {
        SCOPED_TRACE(p.type);
        dovecot_->clearMailbox();
        sink_->clear();
        for (int n = 1; n <= 3; ++n) dovecot_->addMessage(message(n));
        std::vector<std::string> id = serverIds(p);
        ASSERT_EQ(id.size(), 3u);

        // Listing: one already forwarded, two new; an identifier the server no longer
        // lists drops out. Mail is left on the server.
        loadIndex("[" + S(Base64_Encode("other@example.com")) + "]\nzz\tF\n" + header() + id[0] + "\tF\ngone\tF\n");
        webMail* s = &begin(p, "1");
        ASSERT_EQ(s->OpenAccount(*s), 0);
        EXPECT_EQ(s->newCount, 2);
        EXPECT_EQ(mt_globals.indexChanged, 1);
        EXPECT_EQ(mark(id[0]), "F");
        EXPECT_EQ(mark(id[1]), "N");
        EXPECT_EQ(mark("gone"), "E");
        ASSERT_EQ(forward(*s), 0);
        EXPECT_EQ(s->fwdCount, 2);
        EXPECT_EQ(received(), (std::vector<std::string>{crlf(message(2)), crlf(message(3))}));
        ASSERT_EQ(s->CloseAccount(*s), 0);
        ASSERT_EQ(PutAcctIndex(*mt_globals.mailIndex), 0);
        EXPECT_EQ(readFile(index), "[" + S(Base64_Encode("other@example.com")) + "]\nzz\tF\n" + header() + id[0] +
                                       "\tF\n" + id[1] + "\tF\n" + id[2] + "\tF\n");
        EXPECT_EQ(dovecot_->messages().size(), 3u);

        // Clean-up: a deletion an earlier run could not confirm is done first and the
        // message is not forwarded; the new one is forwarded and deleted, and both
        // deletions leave the index once the server confirmed the end of the session.
        dovecot_->addMessage(message(4));
        id = serverIds(p);
        ASSERT_EQ(id.size(), 4u);
        sink_->clear();
        loadIndex(header() + id[0] + "\tD\n" + id[1] + "\tF\n" + id[2] + "\tF\n");
        s = &begin(p, "0");
        ASSERT_EQ(s->OpenAccount(*s), 0);
        EXPECT_EQ(s->newCount, 1);
        EXPECT_EQ(mark(id[0]), "D");
        ASSERT_EQ(forward(*s), 0);
        EXPECT_EQ(received(), std::vector<std::string>{crlf(message(4))});
        EXPECT_EQ(mark(id[3]), "D");
        ASSERT_EQ(s->CloseAccount(*s), 0);
        EXPECT_EQ(mark(id[0]), "X");
        EXPECT_EQ(mark(id[3]), "X");
        ASSERT_EQ(PutAcctIndex(*mt_globals.mailIndex), 0);
        EXPECT_EQ(readFile(index), header() + id[1] + "\tF\n" + id[2] + "\tF\n");
        EXPECT_EQ(dovecot_->messages(), (std::vector<std::string>{message(2), message(3)}));

        // A session that ended without the server's confirmation keeps "D", so the
        // next run repeats the deletion.
        dovecot_->addMessage(message(5));
        id = serverIds(p);
        ASSERT_EQ(id.size(), 3u);
        sink_->clear();
        loadIndex(readFile(index));
        s = &begin(p, "0");
        ASSERT_EQ(s->OpenAccount(*s), 0);
        EXPECT_EQ(s->newCount, 1);
        ASSERT_EQ(forward(*s), 0);
        bSocket_closeSocket(p.init == PopMail_Init ? pop->socket : imap->socket);
        EXPECT_EQ(s->CloseAccount(*s), 0);
        EXPECT_EQ(mark(id[2]), "D");
        ASSERT_EQ(PutAcctIndex(*mt_globals.mailIndex), 0);
        EXPECT_EQ(readFile(index), header() + id[0] + "\tF\n" + id[1] + "\tF\n" + id[2] + "\tD\n");
        EXPECT_EQ(dovecot_->messages().size(), 3u);
    }
}

TEST_F(Mailbox, EmptyInbox) {
    for (const Protocol& p : {kPop, kImap}) {
        SCOPED_TRACE(p.type);
        loadIndex(header() + "old\tF\n");
        webMail& s = begin(p, "0");
        ASSERT_EQ(s.OpenAccount(s), 0);
        EXPECT_EQ(s.newCount, 0);
        EXPECT_TRUE(s.msgList.empty());
        EXPECT_EQ(s.CloseAccount(s), 0);
        ASSERT_EQ(PutAcctIndex(*mt_globals.mailIndex), 0);
        EXPECT_EQ(readFile(index), header());
    }
}

// The connection drops while the second message is retrieved: its SMTP transfer is not
// completed, the alert names the POP3 failure and asks for a retry, and the first
// message stays marked as forwarded so the retry does not send it again.
TEST_F(Mailbox, RetrievalFailingMidMessage) {
    ScriptedServer server("S: +OK ready\n"
                          "C: USER tester\nS: +OK\n"
                          "C: PASS secret\nS: +OK\n"
                          "C: CAPA\nS: -ERR\n"
                          "C: RSET\nS: +OK\n"
                          "C: UIDL\nS: +OK\nS: 1 first\nS: 2 second\nS: .\n"
                          "C: RETR 1\nS: +OK\nS: Subject: one\nS:\nS: body one\nS: .\n"
                          "C: RETR 2\nS: +OK\nS: Subject: two\nS:\nS-RAW: half a li\n"
                          "CLOSE\n");
    loadIndex("");
    webMail& s = begin(kPop, "1");
    row.user = ToStr("tester");
    row.pass = ToStr("secret");
    row.pop = ToStr("127.0.0.1:" + std::to_string(server.port()));
    globals.runActive = 1;
    globals.acctErrorCount = 0;
    ASSERT_EQ(s.OpenAccount(s), 0);
    EXPECT_EQ(s.newCount, 2);
    ASSERT_EQ(smtp_connect(*smtp, sink_->server(), "0", "", 0), 0);
    testing::internal::CaptureStderr();
    int rc = s.ProcessMsg(s);
    std::string log = testing::internal::GetCapturedStderr();
    globals.runActive = 0;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(server.result(), "");
    bSocket_closeSocket(smtp->socket); // as the run driver leaves an unfinished transfer
    EXPECT_EQ(s.fwdCount, 1);
    EXPECT_EQ(received(), std::vector<std::string>{"Subject: one\r\n\r\nbody one\r\n"});
    EXPECT_NE(log.find("Message: " + S(pop->socket.errorText)), std::string::npos) << log;
    EXPECT_NE(log.find("Action: Retry account"), std::string::npos) << log;
    EXPECT_EQ(mt_globals.retryAccount, 1);
    ASSERT_EQ(PutAcctIndex(*mt_globals.mailIndex), 0);
    EXPECT_EQ(readFile(index), header() + "first\tF\n");
}
