// Which accounts a whole agent run takes from the settings as stored, and what its
// trace shows of them. The mail server refuses every connection (a bound socket that
// does not listen), so each account that runs fails at once and is named in the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base64.h"
#include "prefs.h"
#include "testutil.h"

namespace {

const std::string kAgent = TARNWELL_BIN_DIR "/Tarnwell Agent";

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

// A loopback port that refuses connections while the object lives.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            server_ = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    const std::string& server() const { return server_; }

private:
    int fd_;
    std::string server_;
};

struct AgentRun {
    std::string out, log, trace;
};

AgentRun runAgent(const std::map<std::string, prefs::Value>& settings) {
    TempDir home;
    prefs::Domain domain(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"));
    for (const auto& [key, value] : settings) domain.SetAppValue(key, value);
    EXPECT_TRUE(domain.AppSynchronize());
    RunResult r = runProgram({kAgent, "-d"}, home.path(), 60);
    EXPECT_EQ(r.exitStatus, 0);
    return {r.out, readFile(home.file("Library/Logs/Tarnwell.log")),
            readFile(home.file("Library/Logs/Tarnwell Trace.log"))};
}

// The log's lines that start with prefix.
std::vector<std::string> logLines(const std::string& log, const std::string& prefix) {
    std::vector<std::string> lines = splitLines(log);
    std::erase_if(lines, [&](const std::string& l) { return l.rfind(prefix, 0) != 0; });
    return lines;
}

} // namespace

TEST(AccountList, UnusableAndDuplicateAccountsAreSkippedWithTheirReasonAndTheRestRun) {
    RefusingPort pop;
    const auto record = [&](const std::string& credentials, const std::string& forward = "(default)",
                            const std::string& enable = "1") {
        return b64(credentials) + "\t" + pop.server() + "\t" + forward + "\t\t\t1\t0\t" + enable + "\tPOP\t";
    };
    const std::vector<std::string> accounts = {
        record("ann@example.com:annsecret"),
        record("ANN@Example.com:other"),                      // same index section as account 1
        record("bob@example.com:pw", "jos\xc3\xa9@example.org"), // not ASCII
        record("cy@example.com:pw", std::string(500, 'f')),      // too long
        record("caf\xe9@example.com:pw"),                     // not UTF-8
        record("ann@example.com:pw", "(default)", "0"),       // disabled: passed over quietly
        record("dee@example.com:deesecret"),
        b64("") + "\t" + pop.server() + "\t(default)\t\t\t1\t0\t1\tPOP\t", // the end of the list
        record("eve@example.com:pw"),
    };
    const AgentRun run = runAgent({{"SMTPHost", std::string("127.0.0.1:1")},
                              {"SMTPLogin", b64("smtpuser:smtpsecret")},
                              {"Account", accounts}});

    // Each account that runs is tried twice at the refusing server.
    EXPECT_EQ(logLines(run.log, "Forwarding mail for "),
              (std::vector<std::string>{"Forwarding mail for ann@example.com", "Forwarding mail for ann@example.com",
                                        "Forwarding mail for dee@example.com", "Forwarding mail for dee@example.com"}));
    EXPECT_EQ(logLines(run.log, "Account "),
              (std::vector<std::string>{
                  "Account 2 (ANN@Example.com) is skipped: its address is the same as account 1's, and both would "
                  "share one record of forwarded mail.",
                  "Account 3 (bob@example.com) is skipped: its record holds characters other than ASCII.",
                  "Account 4 (cy@example.com) is skipped: its record is longer than 511 characters.",
                  "Account 5 is skipped: its address and password are not valid UTF-8 text."}))
        << run.log;
    // Two accounts failed twice at the refused server, four could not run.
    EXPECT_NE(run.out.find("updateSummary\t   2 accounts processed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("updateSummary\t   6 accounts skipped with errors\n"), std::string::npos) << run.out;

    // The trace keeps the settings lines but no password, plain or in Base64.
    EXPECT_NE(run.trace.find("smtpLogin: smtpuser:********\r\n"), std::string::npos);
    EXPECT_NE(run.trace.find("Account0: ********\t" + pop.server() + "\t(default)\t\t\t1\t0\t1\tPOP\t\r\n"),
              std::string::npos);
    for (const std::string& secret : {std::string("annsecret"), std::string("deesecret"), std::string("smtpsecret"),
                                      b64("smtpuser:smtpsecret"), accounts[0].substr(0, accounts[0].find('\t')),
                                      accounts[6].substr(0, accounts[6].find('\t'))})
        EXPECT_EQ(run.trace.find(secret), std::string::npos) << secret;
}

TEST(AccountList, ValuesOfTheWrongKindAreReadAsTheSchemaSays) {
    RefusingPort pop;
    // "Account" as a plain string is one record, not twenty.
    const AgentRun one = runAgent({{"SMTPHost", std::string("127.0.0.1:1")},
                              {"Account", b64("ann@example.com:pw") + "\t" + pop.server() + "\t\t\t\t1\t0\t1\tPOP\t"}});
    EXPECT_EQ(logLines(one.log, "Forwarding mail for "),
              (std::vector<std::string>{"Forwarding mail for ann@example.com", "Forwarding mail for ann@example.com"}));
    EXPECT_NE(one.out.find("updateSummary\t   1 account processed\n"), std::string::npos) << one.out;

    // A list where one value belongs reads as the default: here no SMTP host at all.
    const AgentRun list = runAgent({{"SMTPHost", std::vector<std::string>{"smtp.example.com"}}});
    EXPECT_NE(list.log.find("Setting \"SMTPHost\" is a list where one value belongs and was ignored."),
              std::string::npos);
    EXPECT_NE(list.log.find("Message: SMTP Host not defined."), std::string::npos) << list.log;
}
