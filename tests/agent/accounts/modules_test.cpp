// The module table and the service presets, which rewrite the account's server
// settings before logging in. Nothing here reaches beyond the loopback address: the
// presets are stopped by a credential the clients refuse before they resolve a name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts.h"
#include "globals.h"
#include "hotmail.h"
#include "imap.h"
#include "pop.h"
#include "rundriver.h"
#include "scripted_server.h"
#include "services.h"

namespace {

std::string S(const Str& s) { return std::string(s.data(), s.size()); }

class Presets : public testing::Test {
protected:
    void SetUp() override {
        pop->socket.limits = {2, 2, 1, 1};
        imap->socket.limits = {2, 2, 1, 1};
        session->popSocket = pop.get();
        session->imapSocket = imap.get();
        row.addr = ToStr("acct@example.com");
        row.user = ToStr("acct");
        row.pass = ToStr("refused\r\npassword"); // refused before anything is sent
        row.pop = ToStr("mail.example.com:7");
        row.secure = ToStr("1");
        row.leave = ToStr("0");
        globals.current = &row;
        globals.runActive = 1;
        globals.acctErrorCount = 0;
        mt_globals = MtGlobals();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        if (!captured) finish();
        bSocket_closeSocket(pop->socket);
        bSocket_closeSocket(imap->socket);
        globals.current = nullptr;
        globals.runActive = 0;
        globals.acctErrorCount = 0;
        mt_globals = MtGlobals();
    }
    // Ends the capture: status lines in out, the log (alert blocks) in log.
    void finish() {
        out = testing::internal::GetCapturedStdout();
        log = testing::internal::GetCapturedStderr();
        captured = true;
    }

    Owned<PopClient> pop = pop_construct();
    Owned<ImapClient> imap = imap_construct();
    Owned<webMail> session = webMail_construct();
    AccountRow row;
    std::string out, log;
    bool captured = false;
};

} // namespace

TEST(ModuleTable, TypeNamesChooseTheModule) {
    struct Row {
        const char* type;
        void (*init)(webMail&);
    };
    const std::vector<Row> rows = {
        {"pop", PopMail_Init},      {"POP", PopMail_Init},           {"", PopMail_Init},
        {"Unknown", PopMail_Init},  {"imap", ImapMail_Init},         {"IMAP", ImapMail_Init},
        {"aol", AolMail_Init},      {"GMAIL", GmailMail_Init},       {"Netscape", NetscapeMail_Init},
        {"IMAPS", PopMail_Init},    {"Gmai", PopMail_Init},          {"msn", HotmailMail_Init},
        {"Hotmail", HotmailMail_Init}, {"HOTMAILS", PopMail_Init},
    };
    for (const Row& r : rows) EXPECT_EQ(FindModule(r.type).init, r.init) << r.type;

    // Presets share the base module's later steps.
    Owned<webMail> popBase = webMail_construct(), imapBase = webMail_construct(), preset = webMail_construct();
    PopMail_Init(*popBase);
    ImapMail_Init(*imapBase);
    GmailMail_Init(*preset);
    EXPECT_NE(preset->OpenAccount, popBase->OpenAccount);
    EXPECT_EQ(preset->ProcessMsg, popBase->ProcessMsg);
    EXPECT_EQ(preset->CloseAccount, popBase->CloseAccount);
    for (auto init : {AolMail_Init, NetscapeMail_Init}) {
        init(*preset);
        EXPECT_NE(preset->OpenAccount, imapBase->OpenAccount);
        EXPECT_EQ(preset->ProcessMsg, imapBase->ProcessMsg);
        EXPECT_EQ(preset->CloseAccount, imapBase->CloseAccount);
    }
}

TEST_F(Presets, GmailForcesItsServerTlsAndLeavingMail) {
    row.type = ToStr("Gmail");
    GmailMail_Init(*session);
    int rc = session->OpenAccount(*session);
    finish();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(S(row.pop), kGmailPopServer);
    EXPECT_EQ(S(row.secure), "-1");
    EXPECT_EQ(S(row.leave), "-1");
    // The client was aimed at the preset's server with TLS on its default port.
    EXPECT_EQ(S(pop->socket.host), kGmailPopServer);
    EXPECT_EQ(pop->socket.port, 995);
    EXPECT_EQ(pop->socket.useTLS, 1);
    EXPECT_NE(out.find("updateStatus\tacct@example.com\tConnecting to Gmail Server\n"), std::string::npos) << out;
    EXPECT_NE(log.find("Account: acct@example.com"), std::string::npos) << log;
    EXPECT_NE(log.find("Message: " + S(pop->socket.errorText)), std::string::npos) << log;
    EXPECT_NE(log.find("Action: Retry account"), std::string::npos) << log;
    EXPECT_EQ(mt_globals.retryAccount, 1);
}

TEST_F(Presets, ImapPresetsForceTheirServerWithoutTls) {
    struct Case {
        const char* type;
        void (*init)(webMail&);
        std::string_view server;
        const char* leave;
    };
    struct Seen {
        int rc;
        std::string pop, secure, leave, host;
        int port, tls;
    };
    const std::vector<Case> cases = {{"AOL", AolMail_Init, kAolImapServer, "0"},
                                     {"Netscape", NetscapeMail_Init, kNetscapeImapServer, "1"}};
    std::vector<Seen> seen;
    for (const Case& c : cases) {
        row.type = ToStr(c.type);
        row.pop = ToStr("mail.example.com:993");
        row.secure = ToStr("1");
        row.leave = ToStr(c.leave);
        c.init(*session);
        int rc = session->OpenAccount(*session);
        seen.push_back({rc, S(row.pop), S(row.secure), S(row.leave), S(imap->socket.host), imap->socket.port,
                        imap->socket.useTLS});
    }
    finish();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Seen& s = seen[i];
        EXPECT_EQ(s.rc, -1) << c.type;
        EXPECT_EQ(s.pop, c.server);
        EXPECT_EQ(s.secure, "0");
        EXPECT_EQ(s.leave, c.leave) << "left as configured";
        EXPECT_EQ(s.host, c.server);
        EXPECT_EQ(s.port, 143);
        EXPECT_EQ(s.tls, 0);
    }
    // The second failure of the same account skips it.
    EXPECT_NE(log.find("Action: Retry account"), std::string::npos) << log;
    EXPECT_NE(log.find("Action: Skip to next account"), std::string::npos) << log;
    EXPECT_EQ(mt_globals.acctsSkipped, 1);
}

TEST_F(Presets, RefusedConnectionGoesThroughTheAlertRule) {
    row.type = ToStr("POP");
    row.pass = ToStr("secret");
    row.secure = ToStr("0");
    row.pop = ToStr("127.0.0.1:" + std::to_string(unusedPort()));
    PopMail_Init(*session);
    int rc = session->OpenAccount(*session);
    finish();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(pop->socket.connected, 0);
    EXPECT_FALSE(pop->socket.errorText.empty());
    EXPECT_NE(log.find("Message: " + S(pop->socket.errorText)), std::string::npos) << log;
    EXPECT_NE(log.find("Action: Retry account"), std::string::npos) << log;
}
