// Servers that misbehave or connections that end badly: endless listings, TLS peers
// that close without close_notify, waits interrupted by signals, and what the trace
// log may show of a login.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

#include "bsocket.h"
#include "http.h"
#include "imap.h"
#include "mem.h"
#include "pieces.h"
#include "pop.h"
#include "scripted_server.h"
#include "testca.h"
#include "testutil.h"

namespace {

// Sends SIGUSR2 (a status request) to the calling thread every period while alive;
// the handler does nothing and does not restart calls, so every wait sees EINTR.
class StatusRequests {
public:
    explicit StatusRequests(std::chrono::milliseconds period) : target_(pthread_self()) {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR2, &sa, &old_);
        thread_ = std::thread([this, period] {
            while (!stop_) {
                std::this_thread::sleep_for(period);
                pthread_kill(target_, SIGUSR2);
                ++sent_;
            }
        });
    }
    ~StatusRequests() {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR2, &old_, nullptr);
    }
    int sent() const { return sent_; }

private:
    pthread_t target_;
    struct sigaction old_ {};
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// The protocol lines a traced call wrote, in order.
template <class Call>
std::vector<std::string> tracedLines(const std::string& prefix, Call call) {
    TempDir dir;
    debugLogSetPath(dir.file("trace.log"));
    debugReq = 1;
    call();
    debugReq = 0;
    debugLogSetPath("");
    std::vector<std::string> lines;
    for (std::string line : splitLines(readFile(dir.file("trace.log")))) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(HostileServer, EndlessListingsFailAtTheListLimits) {
    std::string pop = fixture("pop/login.txt") + "C: UIDL\nS: +OK\n";
    std::string imap = fixture("imap/login.txt") + "C: A0004 FETCH 1:* UID\n";
    for (int i = 1; i <= 5; ++i) {
        pop += "S: " + std::to_string(i) + " uid-" + std::to_string(i) + "\n";
        imap += "S: * " + std::to_string(i) + " FETCH (UID " + std::to_string(i) + ")\n";
    }
    pop += "S: .\n";
    imap += "S: A0004 OK\n";
    // The POP list holds five "n uid-n" CR LF lines (45 bytes), the IMAP list five "n" CR LF (15).
    struct Case {
        size_t entries, popBytes, imapBytes;
        bool fits;
    } cases[] = {{5, 45, 15, true}, {4, 1000, 1000, false}, {5, 44, 14, false}};
    for (const Case& c : cases) {
        ScriptedServer popServer(pop), imapServer(imap);
        auto p = shortWaits(pop_construct());
        auto m = shortWaits(imap_construct());
        p->socket.limits.maxListEntries = m->socket.limits.maxListEntries = c.entries;
        p->socket.limits.maxListBytes = c.popBytes;
        m->socket.limits.maxListBytes = c.imapBytes;
        ASSERT_EQ(pop_connect(*p, at(popServer.port()), "joe:pw", "POP", 0), 0);
        ASSERT_EQ(imap_connect(*m, at(imapServer.port()), "joe:pw", "IMAP", 0), 0);
        auto check = [&](int rc, const bSocket& s) {
            EXPECT_EQ(rc, c.fits ? 0 : -1) << s.serverName << " " << c.entries << "/" << c.popBytes;
            if (c.fits) return;
            EXPECT_EQ(s.errorText, NewStr("An error occurred while communicating with the ", View(s.serverName), " server."));
            EXPECT_EQ(s.errorDetail, "The server's message list is longer than the agent accepts.");
            EXPECT_EQ(s.connected, 0);
        };
        check(pop_uidl(*p), p->socket);
        check(imap_uidl(*m), m->socket);
    }
}

TEST(HostileServer, TlsCloseWithoutNotifyIsTheEndOfData) {
    trustOnly(testCerts().caCert);
    {
        ScriptedServer server(fixture("pop/login.txt") + "C: RETR 1\nS: +OK\nS: Subject: cut\nS-RAW: half a li\nDROP\n",
                              ScriptedServerOptions::Tls());
        auto pop = shortWaits(pop_construct());
        ASSERT_EQ(pop_connect(*pop, at(server.port(), "localhost"), "joe:pw", "POP", 1), 0) << pop->socket.errorDetail;
        ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
        EXPECT_EQ(pop_getText(*pop), -1);
        EXPECT_EQ(pop->socket.errorText, "An error occurred while communicating with the POP server.");
        EXPECT_EQ(pop->socket.errorDetail, "Host closed connection.");
    }
    {
        ScriptedServer server("C: *\nC: *\nC: *\nC:\n"
                              "S-RAW: HTTP/1.1 200 OK\\r\\nContent-Type: text/html\\r\\n\\r\\n<html>until the close</html>\n"
                              "DROP\n",
                              ScriptedServerOptions::Tls());
        auto http = http_construct();
        http->socket.limits = {2, 2, 1, 3};
        http->serverName = ToStr("Hotmail");
        http->method = ToStr("GET");
        ASSERT_EQ(http_getHdr(*http, "https://localhost:" + std::to_string(server.port()) + "/m", "", ""), 0)
            << http->errorDetail;
        EXPECT_EQ(http_getData(*http, 0), 28) << http->errorDetail;
        EXPECT_EQ(http->body, "<html>until the close</html>");
    }
}

TEST(HostileServer, StatusRequestsDoNotShortenAWait) {
    ScriptedServer server("STALL\n");
    bSocket s;
    s.limits = {2, 3, 1, 3};
    bSocket_initSocket(s, "127.0.0.1", server.port(), "POP", 0);
    ASSERT_EQ(bSocket_connectSocket(s), 0);
    auto start = std::chrono::steady_clock::now();
    {
        StatusRequests requests(std::chrono::milliseconds(50));
        EXPECT_EQ(bSocket_readLn(s), -1);
        EXPECT_GT(requests.sent(), 10);
    }
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2800));
    EXPECT_EQ(s.errorDetail, "Connection timed out.");
}

TEST(HostileServer, AMessageArrivesWhileStatusRequestsKeepComing) {
    std::string script = fixture("pop/login.txt") + "C: RETR 1\nS: +OK\n", expected;
    for (int part = 0; part < 3; ++part) {
        for (int i = 0; i < 200; ++i) {
            std::string line = "part " + std::to_string(part) + " line " + std::to_string(i) + std::string(60, '-');
            script += "S: " + line + "\n";
            expected += line + "\r\n";
        }
        script += "SLEEP 1200\n";
    }
    script += "S: .\nC: QUIT\nS: +OK\n";
    ScriptedServer server(script);
    auto pop = shortWaits(pop_construct());
    ASSERT_EQ(pop_connect(*pop, at(server.port()), "joe:pw", "POP", 0), 0);
    ASSERT_EQ(pop_getOpen(*pop, "1"), 0);
    StatusRequests requests(std::chrono::milliseconds(3));
    Fetched f = fetchAll(*pop, pop_getText);
    EXPECT_EQ(f.sizes.back(), 0) << pop->socket.errorDetail;
    EXPECT_EQ(f.text, expected);
    EXPECT_EQ(pop_close(*pop), 0);
}

TEST(HostileServer, TheTraceLogShowsNoSecret) {
    ScriptedServer popServer(
        "S: +OK\nC: USER joe\nS: +OK\nC: PASS s3cret pw\nS: +OK\nC: CAPA\nS: -ERR\nC: RSET\nS: +OK\n");
    auto pop = shortWaits(pop_construct());
    EXPECT_EQ(tracedLines("POP<-", [&] { pop_connect(*pop, at(popServer.port()), "joe:s3cret pw", "POP", 0); }),
              (std::vector<std::string>{"POP<-USER joe", "POP<-PASS ********", "POP<-CAPA", "POP<-RSET"}));
    EXPECT_EQ(popServer.result(), "");

    ScriptedServer login("S: * OK\nC: A0001 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: A0001 OK\n"
                         "C: A0002 LOGIN joe s3cret\nS: A0002 OK\nC: A0003 SELECT INBOX\nS: A0003 OK\n");
    auto imap = shortWaits(imap_construct());
    EXPECT_EQ(tracedLines("IMAP<-", [&] { imap_connect(*imap, at(login.port()), "joe:s3cret", "IMAP", 0); }),
              (std::vector<std::string>{"IMAP<-A0001 CAPABILITY", "IMAP<-A0002 LOGIN joe ********",
                                        "IMAP<-A0003 SELECT INBOX"}));
    EXPECT_EQ(login.result(), "");

    ScriptedServer plain(fixture("imap/plain_session.txt"));
    auto imap2 = shortWaits(imap_construct());
    EXPECT_EQ(tracedLines("IMAP<-", [&] { imap_connect(*imap2, at(plain.port()), "joe:pa ss", "IMAP", 0); }),
              (std::vector<std::string>{"IMAP<-A0001 CAPABILITY", "IMAP<-A0002 AUTHENTICATE PLAIN", "IMAP<-********",
                                        "IMAP<-A0003 SELECT INBOX"}));
}
