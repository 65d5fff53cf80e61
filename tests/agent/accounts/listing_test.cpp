// Listed identifiers the mail index cannot hold: a POP server that lists UIDs with
// blanks, tabs, line breaks or bytes outside the printable range, an empty UID and a
// UID given to two messages, among ordinary ones. Those are skipped with one note per
// run; the ordinary ones are forwarded and recorded.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "aiosmtpd.h"
#include "base64.h"
#include "globals.h"
#include "mailindex.h"
#include "pop.h"
#include "rundriver.h"
#include "scripted_server.h"
#include "smtp.h"

namespace {

const std::string kAddr = "box@example.com";

// One POP session: login, the listing, the retrievals of the given messages, QUIT.
std::string session(const std::vector<int>& retrieved) {
    std::string t = fixture("pop/login.txt") +
                    "C: UIDL\n"
                    "S: +OK\n"
                    "S: 1 good-1\n"
                    "S-RAW: 2 tab\\there\\r\\n\n"
                    "S: 3 good-3\n"
                    "S: 4 with blank\n"
                    "S-RAW: 5 bare\\nLF\\r\\n\n"
                    "S: 6 twice\n"
                    "S-RAW: 7 bare\\rCR\\r\\n\n"
                    "S: 8 twice\n"
                    "S-RAW: 9 caf\\xC3\\xA9\\r\\n\n"
                    "S-RAW: 10 nul\\0\\r\\n\n"
                    "S: 11\n"
                    "S: 12 good-12\n"
                    "S: .\n";
    for (int n : retrieved)
        t += "C: RETR " + std::to_string(n) + "\nS: +OK\nS: Subject: message " + std::to_string(n) + "\nS:\nS: body\nS: .\n";
    return t + "C: QUIT\nS: +OK bye\n";
}

// The positions named by the notes in a log, in order.
std::vector<std::string> notes(const std::string& log) {
    std::vector<std::string> found;
    const std::string lead = "Message: Message ";
    for (size_t at = 0; (at = log.find(lead, at)) != std::string::npos; ++at)
        found.push_back(log.substr(at + lead.size(), log.find(" on the server", at) - at - lead.size()));
    return found;
}

class Listing : public testing::Test {
protected:
    void SetUp() override {
        pop->socket.limits = {5, 5, 1, 1};
        smtp->socket.limits = {5, 5, 1, 1};
        row.addr = ToStr(kAddr);
        row.user = ToStr("joe");
        row.pass = ToStr("pw");
        row.type = ToStr("POP");
        row.secure = ToStr("0");
        row.leave = ToStr("1");
        row.fwd = ToStr("fwd@example.org");
        globals.current = &row;
        globals.runActive = 1;
        globals.acctErrorCount = 0;
        mt_globals = MtGlobals();
    }
    void TearDown() override {
        bSocket_closeSocket(pop->socket);
        bSocket_closeSocket(smtp->socket);
        globals.current = nullptr;
        globals.runActive = 0;
        globals.acctErrorCount = 0;
        mt_globals = MtGlobals();
    }

    // One attempt at the account, as the run driver makes it; returns the log.
    std::string attempt(const ScriptedServer& server) {
        row.pop = ToStr("127.0.0.1:" + std::to_string(server.port()));
        mt_globals.mailIndex = mailIndex_construct();
        GetAcctIndex(*mt_globals.mailIndex, index.file("index"), kAddr);
        mt_globals.session = webMail_construct();
        webMail& s = *mt_globals.session;
        s.popSocket = pop.get();
        s.smtpSocket = smtp.get();
        PopMail_Init(s);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        if (s.OpenAccount(s) == 0) {
            EXPECT_EQ(s.newCount, newExpected);
            if (s.newCount > 0) {
                EXPECT_EQ(smtp_connect(*smtp, sink.server(), "0", "", 0), 0);
                EXPECT_EQ(s.ProcessMsg(s), 0);
                EXPECT_EQ(smtp_close(*smtp), 0);
            }
            EXPECT_EQ(s.CloseAccount(s), 0);
        } else {
            ADD_FAILURE() << "OpenAccount failed";
        }
        testing::internal::GetCapturedStdout();
        std::string log = testing::internal::GetCapturedStderr();
        mt_globals.session.reset();
        PutAcctIndex(*mt_globals.mailIndex);
        mt_globals.mailIndex.reset();
        return log;
    }

    Owned<PopClient> pop = pop_construct();
    Owned<SmtpClient> smtp = smtp_construct();
    AccountRow row;
    TempDir index;
    SmtpSink sink;
    int newExpected = 3;
};

} // namespace

TEST_F(Listing, UnrecordableIdentifiersAreSkippedWithOneNotePerRun) {
    ScriptedServer first(session({1, 3, 12}));
    std::string log = attempt(first);
    EXPECT_EQ(first.result(), "");
    const std::vector<std::string> all = {"2 of 12",  "4 of 12",  "5 of 12", "6 of 12",
                                          "7 of 12", "9 of 12", "10 of 12", "11 of 12"};
    EXPECT_EQ(notes(log), all) << log;
    EXPECT_NE(log.find("outside the printable range"), std::string::npos) << log;
    EXPECT_NE(log.find("\"twice\" is listed more than once"), std::string::npos) << log;
    EXPECT_NE(log.find("no unique identifier"), std::string::npos) << log;
    EXPECT_EQ(log.find("Action: Retry"), std::string::npos) << log;
    EXPECT_EQ(log.find("bare"), std::string::npos) << "the raw identifiers stay out of the log";
    auto got = sink.messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].data, "Subject: message 12\r\n\r\nbody\r\n");
    std::string header = "[" + std::string(View(Base64_Encode(kAddr))) + "]\n";
    EXPECT_EQ(readFile(index.file("index")), header + "good-1\tF\ngood-3\tF\ngood-12\tF\n");

    // A retry of the account in the same run finds nothing new and says nothing again.
    newExpected = 0;
    ScriptedServer retry(session({}));
    EXPECT_EQ(notes(attempt(retry)), std::vector<std::string>{});
    EXPECT_EQ(retry.result(), "");

    // The next run reports them again; still nothing is forwarded twice.
    mt_globals.listingNoted = 0;
    ScriptedServer nextRun(session({}));
    EXPECT_EQ(notes(attempt(nextRun)), all);
    EXPECT_EQ(nextRun.result(), "");
    EXPECT_EQ(sink.count(), 3u);
    EXPECT_EQ(readFile(index.file("index")), header + "good-1\tF\ngood-3\tF\ngood-12\tF\n");
}
