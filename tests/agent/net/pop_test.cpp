#include <gtest/gtest.h>

#include <memory>

#include "dovecot.h"
#include "pop.h"
#include "pieces.h"
#include "suites.h"
#include "scripted_server.h"
#include "testca.h"

namespace {

Owned<PopClient> client() { return shortWaits(pop_construct()); }

Fetched fetchAll(PopClient& c) { return fetchAll(c, pop_getText); }

// Pieces are whole lines, and at least 4096 bytes except the last.
void expectWholeLinePieces(const std::vector<long>& sizes, const std::string& text) {
    size_t offset = 0;
    for (size_t i = 0; i + 1 < sizes.size(); ++i) {
        offset += static_cast<size_t>(sizes[i]);
        EXPECT_EQ(text.compare(offset - 2, 2, "\r\n"), 0) << "piece " << i << " does not end a line";
        if (i + 2 < sizes.size()) {
            EXPECT_GE(sizes[i], 4096) << "piece " << i;
        }
    }
}

} // namespace

TEST(PopClient, WholeSessionWhereverReadsSplit) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("pop/session.txt"), ScriptedServerOptions::OneByte(oneByte));
        auto pop = client();
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pa ss:not part of it", "POP", 0), 0) << pop->socket.errorDetail;
        ASSERT_EQ(pop_uidl(*pop), 0);
        EXPECT_EQ(pop->text, "1 uid-one\r\n2 uid-two\r\n");
        ASSERT_EQ(pop_getOpen(*pop, "2"), 0);
        Fetched f = fetchAll(*pop);
        EXPECT_EQ(f.text, "Subject: dots\r\n\r\n.leading dot\r\n..\r\n.\r\nlast line\r\n");
        EXPECT_EQ(f.sizes.back(), 0);
        EXPECT_EQ(pop->endOfMessage, 1);
        EXPECT_EQ(pop_getText(*pop), 0);
        EXPECT_EQ(pop_delete(*pop, "2"), 0);
        EXPECT_EQ(pop_close(*pop), 0);
        EXPECT_EQ(pop->socket.connected, 0);
        EXPECT_EQ(server.result(), "") << "one byte at a time: " << oneByte;
    }
}

TEST(PopClient, PiecesAreWholeLinesOfAtLeast4096Bytes) {
    std::string script = fixture("pop/login.txt") + "C: RETR 1\nS: +OK\n";
    std::string line(98, 'x');
    for (int i = 0; i < 100; ++i) script += "S: " + line + "\n";
    script += "S: .\nC: QUIT\nS: +OK\n";
    ScriptedServer server(script);
    auto pop = client();
    ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0);
    ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
    EXPECT_EQ(pop_getText(*pop), 4100);
    EXPECT_EQ(pop_getText(*pop), 4100);
    EXPECT_EQ(pop_getText(*pop), 1800); // reads the "." line too
    EXPECT_EQ(pop->endOfMessage, 1);
    EXPECT_EQ(pop_getText(*pop), 0);
    EXPECT_EQ(pop_close(*pop), 0);
    EXPECT_EQ(server.result(), "");
}

TEST(PopClient, EmptyMailboxGivesEmptyList) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("pop/login.txt") + fixture("pop/empty_mailbox.txt"),
                              ScriptedServerOptions::OneByte(oneByte));
        auto pop = client();
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0);
        ASSERT_EQ(pop_uidl(*pop), 0);
        EXPECT_EQ(pop->text, "");
        EXPECT_EQ(pop_close(*pop), 0);
        EXPECT_EQ(server.result(), "");
    }
}

TEST(PopClient, ConnectionLostInsideAMessage) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("pop/login.txt") + fixture("pop/closed_mid_message.txt"),
                              ScriptedServerOptions::OneByte(oneByte));
        auto pop = client();
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "Netscape", 0), 0);
        ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
        EXPECT_EQ(pop_getText(*pop), -1);
        EXPECT_EQ(pop->socket.errorText, "An error occurred while communicating with the Netscape server.");
        EXPECT_EQ(pop->socket.errorDetail, "Host closed connection.");
        EXPECT_EQ(pop->socket.connected, 0);
    }
}

TEST(PopClient, RefusedRepliesAreQuoted) {
    for (bool oneByte : {false, true}) {
        ScriptedServer server(fixture("pop/refused_commands.txt"), ScriptedServerOptions::OneByte(oneByte));
        auto pop = client();
        EXPECT_EQ(pop_connect(*pop, at(server.port()), "joe:wrong", "Gmail", 0), -1);
        EXPECT_EQ(pop->socket.errorText, "Gmail server returned an error.");
        EXPECT_EQ(pop->socket.errorDetail, "-ERR [AUTH] Authentication failed.");
        EXPECT_EQ(pop->socket.connected, 0);
        EXPECT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), -1);
        EXPECT_EQ(pop->socket.errorText, "POP server returned an error.");
        EXPECT_EQ(pop->socket.errorDetail, "-ERR [SYS/TEMP] too many connections");
        EXPECT_EQ(server.result(), "");
    }
}

TEST(PopClient, UnsafeArgumentsAreRefusedBeforeSending) {
    const std::string room(261, 'p'); // "PASS " + 261 + CR LF fills the 268-byte line
    for (const std::string& creds : {std::string("jo\r\ne:pw"), std::string("joe:p\nw"), "joe:" + room + "p",
                                     std::string(262, 'u') + ":pw"}) {
        ScriptedServer server("STALL\n");
        auto pop = client();
        EXPECT_EQ(pop_connect(*pop, at(server.port()), creds, "POP", 0), -1);
        EXPECT_NE(pop->socket.errorText.find("cannot be sent to the POP server."), Str::npos) << pop->socket.errorText;
        EXPECT_EQ(server.connections(), 0) << creds;
    }
    {
        ScriptedServer server(fixture("pop/login.txt") + "STALL\n");
        auto pop = client();
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0);
        EXPECT_EQ(pop_getOpen(*pop, "1\r\nDELE 2"), -1);
        EXPECT_EQ(pop->socket.errorText, "The message number cannot be sent to the POP server.");
        EXPECT_EQ(pop->socket.connected, 0);
        EXPECT_EQ(server.clientBytes(), "USER joe\r\nPASS pw\r\nCAPA\r\nRSET\r\n");
    }
    {
        ScriptedServer server("S: +OK\nC: USER joe\nS: +OK\nC: PASS " + room + "\nS: -ERR no\n");
        auto pop = client();
        EXPECT_EQ(pop_connect(*pop, at(server.port()), "joe:" + room, "POP", 0), -1);
        EXPECT_EQ(pop->socket.errorDetail, "-ERR no");
        EXPECT_EQ(server.clientBytes(), "USER joe\r\nPASS " + room + "\r\n");
    }
}

// Against a real server: one Dovecot for the whole suite, emptied before each test.
class PopDovecot : public DovecotSuite {
protected:

};


TEST_F(PopDovecot, FetchesALargeMessageExactlyAndDeletesIt) {
    const std::string small1 = sampleMessage(300, "first"), big = sampleMessage(5 << 20, "big"),
                      small2 = sampleMessage(300, "last");
    dovecot().addMessage(small1);
    dovecot().addMessage(big);
    dovecot().addMessage(small2);
    auto pop = client();
    ASSERT_EQ(pop_connect(*pop, at(dovecot().popPort()), Dovecot::credentials(), "POP", 0), 0) << pop->socket.errorDetail;
    ASSERT_EQ(pop_uidl(*pop), 0);
    std::vector<std::string> lines = splitLines(std::string(pop->text.data(), pop->text.size()));
    ASSERT_EQ(lines.size(), 3u) << pop->text;
    EXPECT_EQ(lines[1].substr(0, 2), "2 ");
    ASSERT_EQ(pop_getOpen(*pop, "2"), 0);
    Fetched f = fetchAll(*pop);
    EXPECT_EQ(f.sizes.back(), 0);
    EXPECT_TRUE(f.text == crlf(big)) << "fetched " << f.text.size() << " bytes, stored " << crlf(big).size();
    expectWholeLinePieces(f.sizes, f.text);
    ASSERT_EQ(pop_delete(*pop, "2"), 0);
    ASSERT_EQ(pop_close(*pop), 0);
    EXPECT_EQ(dovecot().messages(), (std::vector<std::string>{small1, small2}));
}

TEST_F(PopDovecot, WrongPasswordIsTheServersError) {
    auto pop = client();
    EXPECT_EQ(pop_connect(*pop, at(dovecot().popPort()), std::string(Dovecot::kUser) + ":wrong", "POP", 0), -1);
    EXPECT_EQ(pop->socket.errorText, "POP server returned an error.");
    EXPECT_EQ(pop->socket.errorDetail.rfind("-ERR", 0), 0u) << pop->socket.errorDetail;
}

TEST_F(PopDovecot, TlsSessionWithTheTrustedAuthority) {
    const std::string text = sampleMessage(20000, "secure");
    dovecot().addMessage(text);
    auto pop = client();
    ASSERT_EQ(pop_connect(*pop, at(dovecot().popsPort(), "localhost"), Dovecot::credentials(), "POP", 1), 0)
        << pop->socket.errorDetail;
    EXPECT_EQ(pop->socket.tlsActive, 1);
    ASSERT_EQ(pop_uidl(*pop), 0);
    ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
    EXPECT_TRUE(fetchAll(*pop).text == crlf(text));
    ASSERT_EQ(pop_delete(*pop, "1"), 0);
    ASSERT_EQ(pop_close(*pop), 0);
    EXPECT_TRUE(dovecot().messages().empty());
}

TEST_F(PopDovecot, UntrustedCertificatesAreRefused) {
    trustOnly(testCerts().wrongCaCert);
    auto pop = client();
    pop->socket.limits.attempts = 1;
    EXPECT_EQ(pop_connect(*pop, at(dovecot().popsPort(), "localhost"), Dovecot::credentials(), "POP", 1), -1);
    EXPECT_EQ(pop->socket.errorText, "An error occurred while communicating with the POP server.");
    EXPECT_NE(pop->socket.errorDetail.find("certificate was refused"), Str::npos) << pop->socket.errorDetail;
    trustOnly(testCerts().caCert);

    ScriptedServer other("S: +OK\n", ScriptedServerOptions::Tls(testCerts().otherCert, testCerts().otherKey));
    EXPECT_EQ(pop_connect(*pop, at(other.port(), "localhost"), Dovecot::credentials(), "POP", 1), -1);
    EXPECT_NE(pop->socket.errorDetail.find("mismatch"), Str::npos) << pop->socket.errorDetail;
}
