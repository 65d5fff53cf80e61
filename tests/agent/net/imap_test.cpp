#include <gtest/gtest.h>

#include <memory>

#include "dovecot.h"
#include "imap.h"
#include "pieces.h"
#include "suites.h"
#include "scripted_server.h"
#include "testca.h"

namespace {

Owned<ImapClient> client() { return shortWaits(imap_construct()); }

Fetched fetchAll(ImapClient& c) { return fetchAll(c, imap_getText); }

std::string uids(const ImapClient& imap) { return std::string(imap.text.data(), imap.text.size()); }

std::vector<std::string> uidList(const ImapClient& imap) {
    std::vector<std::string> list;
    std::string text = uids(imap);
    for (size_t from = 0, end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2)
        list.push_back(text.substr(from, end - from));
    return list;
}

// A session on a scripted server that has logged in as joe:pw and selected INBOX.
struct LoggedIn {
    LoggedIn(const std::string& rest, bool oneByte)
        : server(fixture("imap/login.txt") + fixture(rest), ScriptedServerOptions::OneByte(oneByte)) {
        EXPECT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
    }
    ScriptedServer server;
    Owned<ImapClient> imap = client();
};

} // namespace

TEST(ImapClient, PlainSessionWhereverReadsSplit) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("imap/plain_session.txt"), ScriptedServerOptions::OneByte(oneByte));
        auto imap = client();
        ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pa ss:not part of it", "IMAP", 0), 0)
            << imap->socket.errorDetail;
        EXPECT_EQ(imap->exists, 6);
        ASSERT_EQ(imap_uidl(*imap), 0);
        EXPECT_EQ(uids(*imap), "11\r\n14\r\n15\r\n16\r\n");
        ASSERT_EQ(imap_getOpen(*imap, "14"), 0);
        EXPECT_EQ(imap->messageLength, 35);
        Fetched f = fetchAll(*imap);
        EXPECT_EQ(f.text, "Subject: hi\r\n\r\nA0005 OK not a tag\r\n");
        EXPECT_EQ(f.sizes, (std::vector<long>{35, 0}));
        EXPECT_EQ(imap_delete(*imap, "14"), 0);
        EXPECT_EQ(imap_close(*imap), 0);
        EXPECT_EQ(imap->socket.connected, 0);
        EXPECT_EQ(server.result(), "") << "one byte at a time: " << oneByte;
    }
}

TEST(ImapClient, LoginWithoutPlainAndTagsAcrossAccounts) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("imap/two_accounts.txt"), ScriptedServerOptions::OneByte(oneByte));
        auto imap = client();
        ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
        EXPECT_EQ(imap->exists, 0);
        ASSERT_EQ(imap_uidl(*imap), 0);
        EXPECT_EQ(uids(*imap), "");
        ASSERT_EQ(imap_close(*imap), 0);
        EXPECT_EQ(imap_connect(*imap, at(server.port()), "ann:secret", "AOL", 0), -1);
        EXPECT_EQ(imap->socket.errorText, "AOL server returned an error.");
        EXPECT_EQ(imap->socket.errorDetail, "A0007 NO [AUTHENTICATIONFAILED] Authentication failed.");
        EXPECT_EQ(server.result(), "") << "one byte at a time: " << oneByte;
    }
}

TEST(ImapClient, UidRunningIntoTheLineEndIsNoUid) {
    LoggedIn session("imap/uid_line_break.txt", false);
    ASSERT_EQ(imap_uidl(*session.imap), 0);
    EXPECT_EQ(uids(*session.imap), "7\r\n");
    EXPECT_EQ(session.server.result(), "");
}

TEST(ImapClient, PiecesAreByteCountsAndTheLastReadsTheResult) {
    std::string script = fixture("imap/login.txt") + "C: A0004 UID FETCH 7 RFC822\nS: * 1 FETCH (UID 7 RFC822 {10000}\n";
    std::string line(98, 'x');
    for (int i = 0; i < 100; ++i) script += "S: " + line + "\n";
    script += "S: )\nS: A0004 OK done\nC: A0005 LOGOUT\nS: A0005 OK\n";
    ScriptedServer server(script);
    auto imap = client();
    ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0);
    ASSERT_EQ(imap_getOpen(*imap, "7"), 0);
    EXPECT_EQ(imap_getText(*imap), 4096);
    EXPECT_EQ(imap_getText(*imap), 4096);
    EXPECT_EQ(imap->endOfMessage, 0);
    EXPECT_EQ(imap_getText(*imap), 1808);
    EXPECT_EQ(imap->endOfMessage, 1);
    EXPECT_EQ(imap->socket.line, "A0004 OK done\r\n");
    EXPECT_EQ(imap_getText(*imap), 0);
    EXPECT_EQ(imap_close(*imap), 0);
    EXPECT_EQ(server.result(), "");
}

TEST(ImapClient, LiteralEndingInsideALineDeliversOnlyItsBytes) {
    for (bool oneByte : {false, true}) {
        LoggedIn s("imap/literal_mid_line.txt", oneByte);
        ASSERT_EQ(imap_getOpen(*s.imap, "7"), 0);
        Fetched f = fetchAll(*s.imap);
        EXPECT_EQ(f.text, "Subject: x\r\n\r\nend");
        EXPECT_EQ(f.sizes.back(), 0);
        EXPECT_EQ(imap_close(*s.imap), 0); // the connection is still in step
        EXPECT_EQ(s.server.result(), "");
    }
}

TEST(ImapClient, FetchWithoutTheMessage) {
    for (bool oneByte : {false, true}) {
        {
            LoggedIn s("imap/uid_gone.txt", oneByte);
            EXPECT_EQ(imap_getOpen(*s.imap, "99"), -1);
            EXPECT_EQ(s.imap->socket.errorText, "IMAP server returned an error.");
            EXPECT_EQ(s.imap->socket.errorDetail, "A0004 NO [NONEXISTENT] No such message");
        }
        {
            LoggedIn s("imap/no_literal.txt", oneByte);
            EXPECT_EQ(imap_getOpen(*s.imap, "7"), -1);
            EXPECT_EQ(s.imap->socket.errorText, "Error found in IMAP server data:");
            EXPECT_EQ(s.imap->socket.errorDetail,
                      "Message length not found in message header.\r\n* 1 FETCH (UID 7 RFC822 NIL)");
            EXPECT_EQ(s.imap->socket.connected, 0);
        }
        {
            LoggedIn s("imap/closed_mid_literal.txt", oneByte);
            ASSERT_EQ(imap_getOpen(*s.imap, "7"), 0);
            EXPECT_EQ(fetchAll(*s.imap).sizes.back(), -1);
            EXPECT_EQ(s.imap->socket.errorText, "An error occurred while communicating with the IMAP server.");
            EXPECT_EQ(s.imap->socket.errorDetail, "Host closed connection.");
        }
    }
}

TEST(ImapClient, GreetingMustBeOk) {
    ScriptedServer server(fixture("imap/bad_greeting.txt") + "STALL\n");
    auto imap = client();
    EXPECT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "Netscape", 0), -1);
    EXPECT_EQ(imap->socket.errorText, "Netscape server returned an error.");
    EXPECT_EQ(imap->socket.errorDetail, "* BYE Too many connections");
    EXPECT_EQ(server.clientBytes(), "");
}

TEST(ImapClient, UnsafeArgumentsAreRefusedBeforeSending) {
    // PLAIN's Base64 line limits user and password together to 196 bytes.
    for (const std::string& creds : {std::string("jo\re:pw"), std::string("joe:p\nw"), std::string("joe:p\0w", 7),
                                     "joe:" + std::string(194, 'p'), std::string(197, 'u') + ":"}) {
        ScriptedServer server("STALL\n");
        auto imap = client();
        EXPECT_EQ(imap_connect(*imap, at(server.port()), creds, "IMAP", 0), -1);
        EXPECT_NE(imap->socket.errorText.find("cannot be sent to the IMAP server."), Str::npos) << imap->socket.errorText;
        EXPECT_EQ(server.connections(), 0) << creds;
    }
    {
        ScriptedServer server("S: * OK\nC: A0001 CAPABILITY\nS: * CAPABILITY AUTH=PLAIN\nS: A0001 OK\n"
                              "C: A0002 AUTHENTICATE PLAIN\nS: +\nC: *\nS: A0002 NO refused\n");
        auto imap = client();
        EXPECT_EQ(imap_connect(*imap, at(server.port()), "joe:" + std::string(193, 'p'), "IMAP", 0), -1);
        EXPECT_EQ(imap->socket.errorDetail, "A0002 NO refused"); // it fits, so it was sent
        std::string sent = server.clientBytes();
        EXPECT_EQ(sent.size() - sent.rfind("\r\n", sent.size() - 3) - 2, 266u); // the longest line that fits
    }
    for (const std::string& uid : {std::string("7 RFC822\r\nA0005 LOGOUT"), std::string(220, '7')}) {
        ScriptedServer server(fixture("imap/login.txt") + "STALL\n");
        auto imap = client();
        ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0);
        std::string before = server.clientBytes();
        EXPECT_EQ(imap_delete(*imap, uid), -1);
        EXPECT_EQ(imap->socket.errorText, "The message UID cannot be sent to the IMAP server.");
        EXPECT_EQ(imap->socket.connected, 0);
        EXPECT_EQ(server.clientBytes(), before);
    }
}

// Against a real server: one Dovecot for the whole suite, emptied before each test.
class ImapDovecot : public DovecotSuite {
protected:

    // Logs in at server, fetches the second of three messages (one of 5 MB when big),
    // deletes it and ends the session; the other two must be left.
    void fetchAndDeleteTheMiddleOne(const std::string& server, int useTLS, bool big) {
        const std::string first = sampleMessage(300, "first"), middle = sampleMessage(big ? 5 << 20 : 20000, "middle"),
                          last = sampleMessage(300, "last");
        for (const std::string* m : {&first, &middle, &last}) dovecot().addMessage(*m);
        auto imap = client();
        ASSERT_EQ(imap_connect(*imap, server, Dovecot::credentials(), "IMAP", useTLS), 0) << imap->socket.errorDetail;
        EXPECT_EQ(imap->socket.tlsActive, useTLS);
        EXPECT_EQ(imap->exists, 3);
        ASSERT_EQ(imap_uidl(*imap), 0);
        std::vector<std::string> list = uidList(*imap);
        ASSERT_EQ(list.size(), 3u) << uids(*imap);
        ASSERT_EQ(imap_getOpen(*imap, list[1]), 0) << imap->socket.errorDetail;
        Fetched f = fetchAll(*imap);
        EXPECT_EQ(f.sizes.back(), 0);
        EXPECT_TRUE(f.text == crlf(middle)) << "fetched " << f.text.size() << " bytes, stored " << crlf(middle).size();
        for (size_t i = 0; i + 2 < f.sizes.size(); ++i) EXPECT_GE(f.sizes[i], 4096) << "piece " << i;
        ASSERT_EQ(imap_delete(*imap, list[1]), 0);
        ASSERT_EQ(imap_close(*imap), 0);
        EXPECT_EQ(dovecot().messages(), (std::vector<std::string>{first, last}));
    }

};


TEST_F(ImapDovecot, AuthenticatePlainLargeMessage) { fetchAndDeleteTheMiddleOne(at(dovecot().imapPort()), 0, true); }

TEST_F(ImapDovecot, LoginCommandWhenPlainIsNotOffered) {
    PlainHidingRelay relay(dovecot().imapPort());
    fetchAndDeleteTheMiddleOne(at(relay.port()), 0, false);
    const std::string login = std::string("A0002 LOGIN ") + Dovecot::kUser + " " + Dovecot::kPassword + "\r\n";
    EXPECT_NE(relay.clientBytes().find(login), std::string::npos) << relay.clientBytes();
}

TEST_F(ImapDovecot, TlsSessionWithTheTrustedAuthority) {
    fetchAndDeleteTheMiddleOne(at(dovecot().imapsPort(), "localhost"), 1, false);
}

TEST_F(ImapDovecot, WrongPasswordIsTheServersError) {
    auto imap = client();
    EXPECT_EQ(imap_connect(*imap, at(dovecot().imapPort()), std::string(Dovecot::kUser) + ":wrong", "IMAP", 0), -1);
    EXPECT_EQ(imap->socket.errorText, "IMAP server returned an error.");
    EXPECT_NE(imap->socket.errorDetail.find(" NO "), Str::npos) << imap->socket.errorDetail;
}

TEST_F(ImapDovecot, UntrustedCertificatesAreRefused) {
    trustOnly(testCerts().wrongCaCert);
    auto imap = client();
    imap->socket.limits.attempts = 1;
    EXPECT_EQ(imap_connect(*imap, at(dovecot().imapsPort(), "localhost"), Dovecot::credentials(), "IMAP", 1), -1);
    EXPECT_EQ(imap->socket.errorText, "An error occurred while communicating with the IMAP server.");
    EXPECT_NE(imap->socket.errorDetail.find("certificate was refused"), Str::npos) << imap->socket.errorDetail;
    trustOnly(testCerts().caCert);

    ScriptedServer other("S: * OK\n", ScriptedServerOptions::Tls(testCerts().otherCert, testCerts().otherKey));
    EXPECT_EQ(imap_connect(*imap, at(other.port(), "localhost"), Dovecot::credentials(), "IMAP", 1), -1);
    EXPECT_NE(imap->socket.errorDetail.find("mismatch"), Str::npos) << imap->socket.errorDetail;
}
