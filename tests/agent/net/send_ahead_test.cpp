// Commands sent ahead, as transcripts: the next retrieval goes out before the answers
// still owed are read, those answers are read in order where they arrive, and a refusal
// among them fails the call that reads it. A POP server without PIPELINING gets one
// command at a time.
#include <gtest/gtest.h>

#include "imap.h"
#include "pieces.h"
#include "pop.h"
#include "scripted_server.h"

namespace {

const std::string kPopLogin = "S: +OK ready\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n";
const std::string kPipelining = "C: CAPA\nS: +OK list follows\nS: UIDL\nS: PIPELINING\nS: .\nC: RSET\nS: +OK\n";
const std::string kNoPipelining = "C: CAPA\nS: +OK list follows\nS: UIDL\nS: .\nC: RSET\nS: +OK\n";

std::string popMessage(int n) { return "S: +OK\nS: Subject: " + std::to_string(n) + "\nS: .\n"; }

// Forwards messages 1 and 2 as the mailbox module does: the second one's retrieval is
// sent once the first one's text is read, the first one's deletion after it.
void forwardTwo(PopClient& pop) {
    ASSERT_EQ(pop_getOpen(pop, "1"), 0) << pop.socket.errorDetail;
    EXPECT_EQ(fetchAll(pop, pop_getText).text, "Subject: 1\r\n");
    ASSERT_EQ(pop_sendAhead(pop, "2"), 0);
    ASSERT_EQ(pop_delete(pop, "1"), 0);
    ASSERT_EQ(pop_getOpen(pop, "2"), 0) << pop.socket.errorDetail;
    EXPECT_EQ(fetchAll(pop, pop_getText).text, "Subject: 2\r\n");
    ASSERT_EQ(pop_delete(pop, "2"), 0);
}

} // namespace

TEST(SendAhead, PopRetrievalAndDeletionsGoOutBeforeTheAnswersAreRead) {
    struct Case {
        const char* what;
        std::string script; // after the login
        int closed;         // pop_close's result
        std::string detail;
    } cases[] = {
        {"pipelining: RETR 2 before DELE 1, whose answer follows the message",
         kPipelining + "C: RETR 1\n" + popMessage(1) + "C: RETR 2\n" + popMessage(2) +
             "C: DELE 1\nS: +OK\nC: DELE 2\nS: +OK\nC: QUIT\nS: +OK bye\n",
         0, ""},
        {"a refused deletion fails the call that reads its answer",
         kPipelining + "C: RETR 1\n" + popMessage(1) + "C: RETR 2\n" + popMessage(2) +
             "C: DELE 1\nS: -ERR locked\nC: DELE 2\nC: QUIT\n",
         -1, "-ERR locked"},
        {"no pipelining: one command at a time",
         kNoPipelining + "C: RETR 1\n" + popMessage(1) + "C: DELE 1\nS: +OK\nC: RETR 2\n" + popMessage(2) +
             "C: DELE 2\nS: +OK\nC: QUIT\nS: +OK bye\n",
         0, ""},
    };
    for (const Case& c : cases) {
        ScriptedServer server(kPopLogin + c.script);
        auto pop = shortWaits(pop_construct());
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0) << pop->socket.errorDetail;
        forwardTwo(*pop);
        EXPECT_EQ(pop_close(*pop), c.closed) << c.what;
        EXPECT_EQ(std::string(pop->socket.errorDetail.data(), pop->socket.errorDetail.size()), c.detail) << c.what;
        EXPECT_EQ(server.result(), "") << c.what;
    }
}

TEST(SendAhead, ImapFetchAheadWithABatchBehindIt) {
    // A FETCH sent ahead, then a full batch of deletions sent before that FETCH's answer
    // is read: the answer comes first and the STORE's result after it.
    const std::string set = "1:" + std::to_string(kDeleteBatch);
    ScriptedServer server("S: * OK IMAP ready\nC: A0001 CAPABILITY\nS: * CAPABILITY IMAP4rev1 UIDPLUS\n"
                          "S: A0001 OK\nC: A0002 LOGIN joe pw\nS: A0002 OK\nC: A0003 SELECT INBOX\n"
                          "S: * 99 EXISTS\nS: A0003 OK\n"
                          "C: A0004 UID FETCH 99 BODY.PEEK[]\n"
                          "S: * 99 FETCH (UID 99 BODY[] {6}\nS-RAW: last\\r\\n)\\r\\n\nS: A0004 OK\n"
                          "C: A0005 UID STORE " + set + " +FLAGS.SILENT (\\Seen \\Deleted)\n"
                          "S: * 12 EXPUNGE\nS: A0005 OK\n"
                          "C: A0006 UID STORE 99 +FLAGS.SILENT (\\Seen \\Deleted)\nS: A0006 OK\n"
                          "C: A0007 UID EXPUNGE " + set + ",99\nS: A0007 OK\nC: A0008 LOGOUT\nS: A0008 OK\n");
    auto imap = shortWaits(imap_construct());
    imap->peek = 1;
    ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
    ASSERT_EQ(imap_sendAhead(*imap, "99"), 0);
    for (int uid = 1; uid <= kDeleteBatch; ++uid) ASSERT_EQ(imap_delete(*imap, std::to_string(uid)), 0);
    ASSERT_EQ(imap_getOpen(*imap, "99"), 0) << imap->socket.errorDetail;
    EXPECT_EQ(fetchAll(*imap, imap_getText).text, "last\r\n");
    ASSERT_EQ(imap_delete(*imap, "99"), 0);
    EXPECT_EQ(imap_close(*imap), 0) << imap->socket.errorDetail;
    EXPECT_EQ(server.result(), "");
}
