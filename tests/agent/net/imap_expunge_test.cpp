// Ending an IMAP session removes only the messages this session flagged: messages that
// another mail client flagged \Deleted stay on the server.
#include <gtest/gtest.h>

#include "dovecot.h"
#include "imap.h"
#include "pieces.h"
#include "scripted_server.h"
#include "suites.h"

namespace {

// One command of ours and the server's OK to it, under tag n.
std::string okExchange(int n, const std::string& command) {
    std::string tag = "A" + std::string(n < 10 ? "000" : "00") + std::to_string(n);
    return "C: " + tag + " " + command + "\nS: " + tag + " OK\n";
}

} // namespace

TEST(ImapClose, OnlyWhatThisSessionFlaggedIsRemoved) {
    struct Case {
        const char* what;
        std::string capabilities; // before login
        std::string loginCode;    // response code of the login result
        std::vector<std::string> flag;
        std::vector<std::string> close; // commands after the flags, LOGOUT included
    } cases[] = {
        {"nothing flagged, no UNSELECT", "IMAP4rev1", "", {}, {"LOGOUT"}},
        {"nothing flagged, UNSELECT", "IMAP4rev1 UNSELECT", "", {}, {"UNSELECT", "LOGOUT"}},
        {"flagged without UIDPLUS", "IMAP4rev1 UNSELECT", "", {"7"}, {"CLOSE", "LOGOUT"}},
        {"flagged, UIDPLUS offered after login",
         "IMAP4rev1",
         "[CAPABILITY IMAP4rev1 UIDPLUS UNSELECT] ",
         {"7", "9"},
         {"UID EXPUNGE 7,9", "UNSELECT", "LOGOUT"}},
        {"flagged, UIDPLUS without UNSELECT", "IMAP4rev1 uidplus", "", {"7"}, {"UID EXPUNGE 7", "LOGOUT"}},
    };
    for (const Case& c : cases) {
        std::string script = "S: * OK IMAP ready\nC: A0001 CAPABILITY\nS: * CAPABILITY " + c.capabilities +
                             "\nS: A0001 OK\nC: A0002 LOGIN joe pw\nS: A0002 OK " + c.loginCode +
                             "Logged in\nC: A0003 SELECT INBOX\nS: * 9 EXISTS\nS: A0003 OK\n";
        int n = 3;
        std::string set;
        for (const std::string& uid : c.flag) set += (set.empty() ? "" : ",") + uid;
        if (!set.empty()) script += okExchange(++n, "UID STORE " + set + " +FLAGS.SILENT (\\Seen \\Deleted)");
        for (const std::string& command : c.close) script += okExchange(++n, command);
        ScriptedServer server(script);
        auto imap = shortWaits(imap_construct());
        ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
        for (const std::string& uid : c.flag) EXPECT_EQ(imap_delete(*imap, uid), 0) << c.what;
        EXPECT_EQ(imap_close(*imap), 0) << c.what << ": " << imap->socket.errorDetail;
        EXPECT_EQ(server.result(), "") << c.what;
    }
}

class ImapCloseDovecot : public DovecotSuite {
protected:
    // Three messages, the first flagged \Deleted by another client that then went away.
    std::vector<std::string> flaggedElsewhere() {
        std::vector<std::string> texts = {sampleMessage(300, "flagged elsewhere"), sampleMessage(300, "second"),
                                          sampleMessage(300, "third")};
        for (const std::string& t : texts) dovecot().addMessage(t);
        auto other = listed();
        EXPECT_EQ(imap_delete(*other, NthField(View(other->text), "\r\n", 1)), 0);
        bSocket_closeSocket(other->socket);
        return texts;
    }
    // A session that has listed the inbox; Dovecot offers UNSELECT and UIDPLUS once
    // the user is logged in.
    Owned<ImapClient> listed() {
        auto imap = shortWaits(imap_construct());
        EXPECT_EQ(imap_connect(*imap, at(dovecot().imapPort()), Dovecot::credentials(), "IMAP", 0), 0);
        EXPECT_EQ(imap->unselect + imap->uidPlus, 2);
        EXPECT_EQ(imap_uidl(*imap), 0);
        return imap;
    }
};

TEST_F(ImapCloseDovecot, ALeavingSessionRemovesNothing) {
    std::vector<std::string> texts = flaggedElsewhere();
    auto imap = listed();
    ASSERT_EQ(imap_close(*imap), 0) << imap->socket.errorDetail;
    EXPECT_EQ(dovecot().messages(), texts);
}

TEST_F(ImapCloseDovecot, ADeletingSessionRemovesOnlyItsOwnMessages) {
    std::vector<std::string> texts = flaggedElsewhere();
    auto imap = listed();
    ASSERT_EQ(imap_delete(*imap, NthField(View(imap->text), "\r\n", 2)), 0);
    ASSERT_EQ(imap_close(*imap), 0) << imap->socket.errorDetail;
    EXPECT_EQ(dovecot().messages(), (std::vector<std::string>{texts[0], texts[2]}));
}
