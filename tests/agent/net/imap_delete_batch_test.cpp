// Deletion in batches at the byte level: queued UIDs go out as UID sets, a full batch at
// once and the rest as the session ends, without waiting for the result; a refused
// batch fails the call that reads its result; mail fetched with a peek keeps its flags
// until the batch flags it.
#include <gtest/gtest.h>

#include "imap.h"
#include "pieces.h"
#include "scripted_server.h"

namespace {

std::string tagged(int n) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "A%04i", n);
    return tag;
}

// Greeting, login and SELECT with UIDPLUS, under tags 1 to 3.
const std::string kLogin = "S: * OK IMAP ready\nC: A0001 CAPABILITY\nS: * CAPABILITY IMAP4rev1 UIDPLUS\nS: A0001 OK\n"
                           "C: A0002 LOGIN joe pw\nS: A0002 OK\nC: A0003 SELECT INBOX\nS: * 130 EXISTS\nS: A0003 OK\n";

std::string joined(const std::vector<int>& uids, size_t from, size_t to) {
    std::string set;
    for (size_t i = from; i < to; ++i) set += (set.empty() ? "" : ",") + std::to_string(uids[i]);
    return set;
}

} // namespace

TEST(ImapDeleteBatch, QueuedUidsGoOutAsSetsEveryBatchAndAtTheEnd) {
    std::vector<int> spread;
    for (int uid = 2; uid <= 2 * (kDeleteBatch + 1); uid += 2) spread.push_back(uid);
    const std::string flags = " +FLAGS.SILENT (\\Seen \\Deleted)";
    struct Case {
        const char* what;
        std::vector<int> uids;
        std::vector<std::string> commands; // after the login, LOGOUT included
    } cases[] = {
        {"consecutive UIDs make ranges",
         {3, 4, 5, 9, 10, 12},
         {"UID STORE 3:5,9:10,12" + flags, "UID EXPUNGE 3:5,9:10,12", "LOGOUT"}},
        {"a full batch, then the rest",
         spread,
         {"UID STORE " + joined(spread, 0, kDeleteBatch) + flags,
          "UID STORE " + joined(spread, kDeleteBatch, spread.size()) + flags, "UID EXPUNGE " + joined(spread, 0, spread.size()),
          "LOGOUT"}},
        {"nothing queued", {}, {"LOGOUT"}},
    };
    for (const Case& c : cases) {
        std::string script = kLogin;
        int n = 3;
        for (const std::string& command : c.commands) {
            ++n;
            script += "C: " + tagged(n) + " " + command + "\nS: " + tagged(n) + " OK\n";
        }
        ScriptedServer server(script);
        auto imap = shortWaits(imap_construct());
        ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
        for (int uid : c.uids) ASSERT_EQ(imap_delete(*imap, std::to_string(uid)), 0) << c.what;
        EXPECT_EQ(imap_close(*imap), 0) << c.what << ": " << imap->socket.errorDetail;
        EXPECT_EQ(server.result(), "") << c.what;
    }
}

TEST(ImapDeleteBatch, ARefusedBatchFailsTheCallThatReadsItsResult) {
    const std::string set = "1:" + std::to_string(kDeleteBatch);
    ScriptedServer server(kLogin + "C: A0004 UID STORE " + set + " +FLAGS.SILENT (\\Seen \\Deleted)\n" +
                          "S: A0004 NO [CANNOT] Mailbox is read-only\nC: A0005 UID EXPUNGE " + set + "\n");
    auto imap = shortWaits(imap_construct());
    ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
    for (int uid = 1; uid <= kDeleteBatch; ++uid) ASSERT_EQ(imap_delete(*imap, std::to_string(uid)), 0);
    EXPECT_EQ(imap_close(*imap), -1);
    EXPECT_EQ(imap->socket.errorText, "IMAP server returned an error.");
    EXPECT_EQ(imap->socket.errorDetail, "A0004 NO [CANNOT] Mailbox is read-only");
    EXPECT_EQ(imap->socket.connected, 0);
    EXPECT_EQ(server.result(), "");
}

TEST(ImapDeleteBatch, APeekFetchesTheBodyWithoutChangingFlags) {
    ScriptedServer server(kLogin +
                          "C: A0004 UID FETCH 7 BODY.PEEK[]\n"
                          "S: * 3 FETCH (FLAGS (\\Recent))\n"
                          "S: * 1 FETCH (UID 7 BODY[] {12}\nS: Subject: x\nS: )\nS: A0004 OK\n"
                          "C: A0005 UID STORE 7 +FLAGS.SILENT (\\Seen \\Deleted)\nS: A0005 OK\n"
                          "C: A0006 UID EXPUNGE 7\nS: A0006 OK\nC: A0007 LOGOUT\nS: A0007 OK\n");
    auto imap = shortWaits(imap_construct());
    imap->peek = 1;
    ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
    ASSERT_EQ(imap_getOpen(*imap, "7"), 0) << imap->socket.errorDetail;
    Fetched f = fetchAll(*imap, imap_getText);
    EXPECT_EQ(f.text, "Subject: x\r\n");
    EXPECT_EQ(imap_delete(*imap, "7"), 0);
    EXPECT_EQ(imap_close(*imap), 0) << imap->socket.errorDetail;
    EXPECT_EQ(server.result(), "");
}
