// Message text of any line length, and the empty message: the reply-line limit must not
// apply to message text, and pieces must stay exact wherever reads and cuts fall.
#include <gtest/gtest.h>

#include <algorithm>

#include "bsocket.h"
#include "dovecot.h"
#include "imap.h"
#include "pieces.h"
#include "pop.h"
#include "scripted_server.h"
#include "suites.h"

namespace {

constexpr size_t kShortReplies = 64; // reply-line limit far below the message's lines

ScriptedServerOptions feed(size_t writeSize) { return ScriptedServerOptions::Writes(writeSize); }

} // namespace

TEST(MessageText, SocketPiecesAndBytesWhereverReadsSplit) {
    static const char kRaw[] = "abc\r\n0123456789\r\nabcdefg\r\n1234567\rx\r\nNUL\0\r\n";
    const std::string raw(kRaw, sizeof kRaw - 1);
    for (size_t writes : {size_t{0}, size_t{1}}) {
        ScriptedServer server("S-RAW: abc\\r\\n0123456789\\r\\nabcdefg\\r\\n1234567\\rx\\r\\nNUL\\0\\r\\n\n"
                              "S-RAW: abc\\r\\n0123456789\\r\\nabcdefg\\r\\n1234567\\rx\\r\\nNUL\\0\\r\\n\nSTALL\n",
                              feed(writes));
        bSocket s;
        s.limits = {2, 2, 1, 3, kShortReplies};
        bSocket_initSocket(s, "127.0.0.1", server.port(), "POP", 0);
        ASSERT_EQ(bSocket_connectSocket(s), 0);
        // A CR LF is never split: a cut that would end on the CR comes one byte earlier.
        const std::vector<std::pair<std::string, int>> want = {
            {"abc\r\n", 1},  {"01234567", 0},  {"89\r\n", 1},         {"abcdefg", 0},
            {"\r\n", 1},     {"1234567", 0},   {"\rx\r\n", 1},        {std::string("NUL\x7f\r\n"), 1}};
        std::vector<std::pair<std::string, int>> got;
        for (size_t i = 0; i < want.size(); ++i) {
            int endsLine = -1;
            ASSERT_GT(bSocket_readPiece(s, 8, endsLine), 0) << s.errorDetail;
            got.emplace_back(std::string(View(s.line)), endsLine);
        }
        EXPECT_EQ(got, want) << "writes of " << writes;
        std::string bytes;
        while (bytes.size() < raw.size()) {
            long n = bSocket_readBytes(s, 5);
            ASSERT_GT(n, 0) << s.errorDetail;
            ASSERT_LE(n, 5);
            bytes.append(View(s.line));
        }
        std::string expected = raw;
        std::replace(expected.begin(), expected.end(), '\0', '\x7f');
        EXPECT_EQ(bytes, expected);
        bSocket_closeSocket(s);
    }
}

TEST(MessageText, PopLinesLongerThanAPieceKeepTheirDotsAndTheEndMark) {
    const std::string a(4095, 'A'), b(5000, 'B'), c(4096, 'C'), d(4096, 'D');
    const std::string script = fixture("pop/login.txt") + "C: RETR 1\nS: +OK\nS: " + a + "\nS: .." + b + "\nS: " + c +
                               ".\nS: " + d + "..x\nS: ..after\nS: .\nC: QUIT\nS: +OK\n";
    const std::string expected =
        a + "\r\n." + b + "\r\n" + c + ".\r\n" + d + "..x\r\n.after\r\n";
    for (size_t writes : {size_t{0}, size_t{7}}) {
        ScriptedServer server(script, feed(writes));
        auto pop = pop_construct();
        pop->socket.limits = {2, 2, 1, 3, kShortReplies};
        ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0) << pop->socket.errorDetail;
        ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
        Fetched f = fetchAll(*pop, pop_getText);
        ASSERT_EQ(f.sizes.back(), 0) << pop->socket.errorDetail;
        EXPECT_TRUE(f.text == expected) << "writes of " << writes << ": " << f.text.size() << " bytes";
        for (size_t i = 0; i + 2 < f.sizes.size(); ++i) {
            EXPECT_GE(f.sizes[i], 4096);
            EXPECT_LT(f.sizes[i], 2 * 4096);
        }
        EXPECT_EQ(pop_close(*pop), 0);
        EXPECT_EQ(server.result(), "");
    }
}

TEST(MessageText, ImapLiteralsOfAnyLineLengthAndTheEmptyOne) {
    const std::string text = "Subject: long\r\n\r\n" + std::string(10000, 'y') + "\r\n\r\nend";
    const std::string literal = fixture("imap/login.txt") + "C: A0004 UID FETCH 7 RFC822\nS-RAW: * 1 FETCH (UID 7 RFC822 {" +
                                std::to_string(text.size()) + "}\\r\\nSubject: long\\r\\n\\r\\n" +
                                std::string(10000, 'y') + "\\r\\n\\r\\nend)\\r\\n\nS: A0004 OK done\n";
    const std::string empty = fixture("imap/login.txt") +
                              "C: A0004 UID FETCH 7 RFC822\nS: * 1 FETCH (UID 7 RFC822 {0}\nS: )\nS: A0004 OK done\n";
    const std::string logout = "C: A0005 LOGOUT\nS: A0005 OK\n";
    struct Case {
        std::string script, text;
        std::vector<long> sizes;
    } cases[] = {
        {literal + logout, text, {4096, 4096, static_cast<long>(text.size()) - 8192, 0}},
        {empty + logout, "", {0}},
    };
    for (const Case& c : cases) {
        for (size_t writes : {size_t{0}, size_t{7}}) {
            ScriptedServer server(c.script, feed(writes));
            auto imap = imap_construct();
            imap->socket.limits = {2, 2, 1, 3, kShortReplies};
            ASSERT_EQ(imap_connect(*imap, at(server.port()), "joe:pw", "IMAP", 0), 0) << imap->socket.errorDetail;
            ASSERT_EQ(imap_getOpen(*imap, "7"), 0) << imap->socket.errorDetail;
            Fetched f = fetchAll(*imap, imap_getText);
            EXPECT_EQ(f.sizes, c.sizes) << imap->socket.errorDetail;
            EXPECT_TRUE(f.text == c.text);
            EXPECT_EQ(imap->endOfMessage, 1);
            EXPECT_EQ(imap_close(*imap), 0) << "the tagged result was consumed";
            EXPECT_EQ(server.result(), "");
        }
    }
}

class LongLineDovecot : public DovecotSuite {};

TEST_F(LongLineDovecot, AFiveMegabyteLineArrivesIdenticalOverPopAndImap) {
    std::string line = ".";
    while (line.size() < (5u << 20)) line += "long line with a . and .. in it " + std::to_string(line.size());
    const std::string message = "Subject: one long line\n\n" + line + "\n.\nlast\n";
    dovecot().addMessage(message);

    auto pop = pop_construct();
    ASSERT_EQ(pop_connect(*pop, at(dovecot().popPort()), Dovecot::credentials(), "POP", 0), 0) << pop->socket.errorDetail;
    ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
    Fetched viaPop = fetchAll(*pop, pop_getText);
    EXPECT_EQ(viaPop.sizes.back(), 0) << pop->socket.errorDetail;
    EXPECT_TRUE(viaPop.text == crlf(message)) << "POP: " << viaPop.text.size() << " bytes";
    EXPECT_EQ(pop_close(*pop), 0);

    auto imap = imap_construct();
    ASSERT_EQ(imap_connect(*imap, at(dovecot().imapPort()), Dovecot::credentials(), "IMAP", 0), 0)
        << imap->socket.errorDetail;
    ASSERT_EQ(imap_uidl(*imap), 0);
    ASSERT_EQ(imap_getOpen(*imap, NthField(View(imap->text), "\r\n", 1)), 0);
    Fetched viaImap = fetchAll(*imap, imap_getText);
    EXPECT_EQ(viaImap.sizes.back(), 0) << imap->socket.errorDetail;
    EXPECT_TRUE(viaImap.text == crlf(message)) << "IMAP: " << viaImap.text.size() << " bytes";
    EXPECT_EQ(imap_close(*imap), 0);
}
