#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bsocket.h"
#include "globals.h"
#include "scripted_server.h"
#include "testca.h"
#include "testutil.h"

namespace {

// A socket with short waits, connected to a scripted server on 127.0.0.1.
struct Client {
    explicit Client(const ScriptedServer& server, int useTLS = 0, const char* host = "127.0.0.1") {
        s.limits = {2, 2, 1, 3};
        bSocket_initSocket(s, host, server.port(), "POP", useTLS);
    }
    ~Client() { bSocket_closeSocket(s); }
    bSocket s;
};

std::vector<std::string> readAll(bSocket& s, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count && bSocket_readLn(s) > 0; ++i) lines.emplace_back(s.line.data(), s.line.size());
    return lines;
}

class StopAfter {
public:
    explicit StopAfter(int ms)
        : thread_([ms] {
              std::this_thread::sleep_for(std::chrono::milliseconds(ms));
              globals.stopRequested = 1;
          }) {}
    ~StopAfter() {
        thread_.join();
        globals.stopRequested = 0;
    }

private:
    std::thread thread_;
};

} // namespace

TEST(BufferedSocket, LinesAreAssembledWhereverReadsSplitThem) {
    const std::string script = "S-RAW: +OK one\\r\\n+OK two\\r\\nbare\\nstill one line\\r\\nNUL\\0here\\r\\n\nSTALL\n";
    for (bool oneByte : {false, true}) {
        ScriptedServer server(script, ScriptedServerOptions::OneByte(oneByte));
        Client c(server);
        ASSERT_EQ(bSocket_connectSocket(c.s), 0) << c.s.errorDetail;
        auto lines = readAll(c.s, 4);
        std::vector<std::string> expected = {"+OK one\r\n", "+OK two\r\n", "bare\nstill one line\r\n",
                                             std::string("NUL\x7fhere\r\n")};
        EXPECT_EQ(lines, expected) << "one byte at a time: " << oneByte;
    }
}

TEST(BufferedSocket, WritingDropsUnreadTextAndSendsEverything) {
    ScriptedServer server("S-RAW: +OK a\\r\\n+OK stale\\r\\n\nC: CMD\nS: +OK fresh\nC-DATA\nS: +OK done\n");
    Client c(server);
    ASSERT_EQ(bSocket_connectSocket(c.s), 0);
    ASSERT_GT(bSocket_readLn(c.s), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // let "+OK stale" arrive
    ASSERT_EQ(bSocket_write(c.s, "CMD\r\n"), 0);
    ASSERT_GT(bSocket_readLn(c.s), 0);
    EXPECT_EQ(c.s.line, "+OK fresh\r\n");
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + "\r\n";
    ASSERT_EQ(bSocket_write(c.s, big + ".\r\n"), 0);
    ASSERT_GT(bSocket_readLn(c.s), 0);
    EXPECT_EQ(server.result(), "");
    EXPECT_EQ(server.clientBytes(), "CMD\r\n" + big + ".\r\n");
}

TEST(BufferedSocket, FailuresCloseAndExplainThemselves) {
    {
        ScriptedServer server("S-RAW: +OK partial line\nCLOSE\n");
        Client c(server);
        ASSERT_EQ(bSocket_connectSocket(c.s), 0);
        EXPECT_EQ(bSocket_readLn(c.s), -1);
        EXPECT_EQ(c.s.errorText, "An error occurred while communicating with the POP server.");
        EXPECT_EQ(c.s.errorDetail, "Host closed connection.");
        EXPECT_EQ(c.s.connected, 0);
        EXPECT_EQ(c.s.fd, -1);
    }
    {
        ScriptedServer server("STALL\n");
        Client c(server);
        ASSERT_EQ(bSocket_connectSocket(c.s), 0);
        EXPECT_EQ(bSocket_readLn(c.s), -1);
        EXPECT_EQ(c.s.errorDetail, "Connection timed out.");
    }
    {
        bSocket s;
        s.limits = {2, 2, 1, 3};
        bSocket_initSocket(s, "no-such-host.invalid", 110, "IMAP", 0);
        EXPECT_EQ(bSocket_connectSocket(s), -1);
        EXPECT_EQ(s.errorText, "An error occurred while communicating with the IMAP server.");
        EXPECT_EQ(s.errorDetail, "Host not found.");
    }
    {
        bSocket s;
        s.limits = {2, 2, 1, 3};
        bSocket_initSocket(s, "127.0.0.1", unusedPort(), "SMTP", 0);
        EXPECT_EQ(bSocket_connectSocket(s), -1);
        EXPECT_EQ(s.errorText, "An error occurred while communicating with the SMTP server.");
        EXPECT_EQ(s.errorDetail, "Connection refused.");
    }
    EXPECT_EQ(bSocket_socketErrorMsg(22), "Network error: 22-Invalid argument");
}

TEST(BufferedSocket, ServerErrorQuotesTheReplyLine) {
    ScriptedServer server("S: -ERR mailbox locked\nSTALL\n");
    Client c(server);
    ASSERT_EQ(bSocket_connectSocket(c.s), 0);
    ASSERT_GT(bSocket_readLn(c.s), 0);
    bSocket_serverError(c.s);
    EXPECT_EQ(c.s.errorText, "POP server returned an error.");
    EXPECT_EQ(c.s.errorDetail, "-ERR mailbox locked");
    EXPECT_EQ(c.s.fd, -1);
}

TEST(BufferedSocket, StopRequestEndsAWaitWithinOneSlice) {
    ScriptedServer server("STALL\n");
    Client c(server);
    c.s.limits.ioWait = 60;
    ASSERT_EQ(bSocket_connectSocket(c.s), 0);
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    {
        StopAfter stop(300);
        EXPECT_EQ(bSocket_readLn(c.s), -1);
    }
    auto took = std::chrono::steady_clock::now() - start;
    testing::internal::GetCapturedStdout();
    EXPECT_LT(took, std::chrono::seconds(c.s.limits.slice + 2));
    EXPECT_EQ(c.s.fd, -1);
}

TEST(BufferedSocket, TlsVerifiesTheServerAgainstTheTrustedAuthority) {
    const TestCerts& certs = testCerts();
    trustOnly(certs.caCert);
    {
        ScriptedServer server("S: +OK secure\nC: QUIT\nS: +OK bye\n", ScriptedServerOptions::Tls());
        Client c(server, 1, "localhost");
        ASSERT_EQ(bSocket_connectSocket(c.s), 0) << c.s.errorDetail;
        EXPECT_EQ(c.s.tlsActive, 1);
        ASSERT_GT(bSocket_readLn(c.s), 0);
        EXPECT_EQ(c.s.line, "+OK secure\r\n");
        ASSERT_EQ(bSocket_write(c.s, "QUIT\r\n"), 0);
        ASSERT_GT(bSocket_readLn(c.s), 0);
        bSocket_closeSocket(c.s);
        EXPECT_EQ(server.result(), "");
    }
    {
        ScriptedServer server("S: +OK\n", ScriptedServerOptions::Tls(certs.otherCert, certs.otherKey));
        Client c(server, 1, "localhost");
        c.s.limits.attempts = 1;
        EXPECT_EQ(bSocket_connectSocket(c.s), -1);
        EXPECT_NE(c.s.errorDetail.find("certificate was refused"), Str::npos) << c.s.errorDetail;
        EXPECT_NE(c.s.errorDetail.find("mismatch"), Str::npos) << c.s.errorDetail;
    }
    trustOnly(certs.wrongCaCert);
    {
        ScriptedServer server("S: +OK\n", ScriptedServerOptions::Tls());
        Client c(server, 1, "localhost");
        c.s.limits.attempts = 1;
        EXPECT_EQ(bSocket_connectSocket(c.s), -1);
        EXPECT_NE(c.s.errorDetail.find("certificate was refused"), Str::npos) << c.s.errorDetail;
    }
    trustOnly(certs.caCert);
}

TEST(BufferedSocket, ALineWithoutEndIsRefusedPastTheLimit) {
    std::string script = "S-RAW: +OK short\\r\\n" + std::string(5000, 'x') + "\nSTALL\n";
    ScriptedServer server(script);
    Client c(server);
    c.s.limits.maxLine = 4096;
    ASSERT_EQ(bSocket_connectSocket(c.s), 0);
    ASSERT_GT(bSocket_readLn(c.s), 0);
    EXPECT_EQ(bSocket_readLn(c.s), -1);
    EXPECT_EQ(c.s.errorDetail, "The server sent a line longer than the agent accepts.");
    EXPECT_EQ(c.s.fd, -1);
}
