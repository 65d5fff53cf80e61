// The agent as a whole: started as the menu would start it, with HOME pointing at a
// throwaway folder.
#include <gtest/gtest.h>

#include "base64.h"
#include "prefs.h"
#include "testutil.h"

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kAgent = TARNWELL_BIN_DIR "/Tarnwell Agent";

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

void writeSettings(const std::string& home, const std::map<std::string, prefs::Value>& values) {
    prefs::Domain domain(home + "/Library/Preferences/com.vexlo.Tarnwell.plist");
    for (const auto& [key, value] : values) domain.SetAppValue(key, value);
    ASSERT_TRUE(domain.AppSynchronize());
}

std::string stripDates(std::string line) {
    for (const char* prefix : {"updateSummary\tTarnwell run started: ", "updateSummary\tTarnwell run completed: "}) {
        if (line.rfind(prefix, 0) == 0) {
            EXPECT_EQ(line.size(), std::string(prefix).size() + 24) << line;
            return prefix;
        }
    }
    return line;
}

} // namespace

TEST(Agent, EmptyHomeEndsWithTheSmtpHostAlertAndTheSummary) {
    TempDir home;
    RunResult run = runProgram({kAgent}, home.path());
    EXPECT_EQ(run.exitStatus, 0);
    std::vector<std::string> lines;
    for (const auto& l : splitLines(run.out)) lines.push_back(stripDates(l));
    std::vector<std::string> expected = {
        "updateStatus\tNone\tStarting up",
        "updateSummary\tTarnwell run started: ",
        "updateStatus\tNone\tDone",
        "updateSummary\tTarnwell run completed: ",
        "updateSummary\t   Critical error occurred",
        "updateSummary\t   0 accounts processed",
        "updateSummary\t----------",
    };
    EXPECT_EQ(lines, expected);

    std::string logPath = home.file("Library/Logs/Tarnwell.log");
    std::string log = readFile(logPath);
    EXPECT_NE(log.find("   Account: None\r\n   Status: Starting up\r\n"
                       "   Message: SMTP Host not defined.\r\n"
                       "   In order to send mail, an SMTP Host needs to be specified in the Preferences.\r\n"
                       "   Action: Cancel\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Tarnwell run started: "), std::string::npos);
    EXPECT_NE(log.find("   0 accounts processed\n----------\n"), std::string::npos);
    EXPECT_EQ(fileMode(logPath), 0600u);
    EXPECT_EQ(fileMode(home.file("Library/Logs")), 0700u);
    EXPECT_FALSE(fileExists(home.file("Library/Logs/Tarnwell Trace.log")));
}

TEST(Agent, TraceShowsEverySettingAndAuditsToZero) {
    TempDir home;
    std::vector<std::string> accounts = {
        b64("ann@example.com:secret") + "\tpop.mail.example.com:995\t\t\t\t0\t1\t1\tPOP\t",
        b64("bob@example.com:pw") + "\tYAHOO.COM\tfwd@example.org\t\t" + b64("bobby") + "\t1\t0\t\t\t",
    };
    writeSettings(home.path(), {{"SMTPHost", std::string("smtp.example.com:587")},
                                {"SMTPLogin", b64("me:pass")},
                                {"SMTPFrom", b64("me@example.com")},
                                {"dftFwd", std::string("me@example.net")},
                                {"Account", accounts}});
    RunResult run = runProgram({kAgent, "-d"}, home.path());
    EXPECT_EQ(run.exitStatus, 0);
    std::string trace = readFile(home.file("Library/Logs/Tarnwell Trace.log"));
    for (const std::string& expected :
         {std::string("Tarnwell 5.0.3\r\n"), "Log path is: " + home.path() + "/Library/Logs/Tarnwell.log\r\n",
          "Index path is: " + home.path() + "/Library/Preferences/com.vexlo.Tarnwell.index\r\n",
          std::string("smtpHost: smtp.example.com:587\r\n"), std::string("smtpSecure: 0 0\r\n"),
          std::string("smtpAuth: 0\r\n"), std::string("smtpLogin: me:********\r\n"), std::string("smtpVfy: 0 0\r\n"),
          std::string("smtpFrom: me@example.com\r\n"), std::string("dftFwd: me@example.net\r\n"),
          std::string("autoFwd: 0\r\n"), std::string("autoTime: 15\r\n"), std::string("Account0: ********\tpop.mail.example.com:995\t\t\t\t0\t1\t1\tPOP\t\r\n"),
          "Account1: ********\tYAHOO.COM\tfwd@example.org\t\t" + b64("bobby") + "\t1\t0\t\t\t\r\n", std::string("Account19: \r\n")})
        EXPECT_NE(trace.find(expected), std::string::npos) << expected;
    const std::string last = "Memory allocation count: 0\r\n";
    EXPECT_TRUE(trace.size() > last.size() && trace.compare(trace.size() - last.size(), last.size(), last) == 0)
        << trace.substr(trace.size() > 300 ? trace.size() - 300 : 0);
    EXPECT_EQ(fileMode(home.file("Library/Logs/Tarnwell Trace.log")), 0600u);
}

TEST(Agent, UnusableSettingsTakeTheirDefaultsAndAreNamedInTheLog) {
    TempDir home;
    writeSettings(home.path(), {{"SMTPHost", std::string(600, 'h')}, {"dftFwd", std::string("caf\xc3\xa9@example.com")}});
    RunResult run = runProgram({kAgent}, home.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("Critical error occurred"), std::string::npos);
    std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
    EXPECT_NE(log.find("Setting \"SMTPHost\" is longer than 511 characters and was ignored."), std::string::npos);
    EXPECT_NE(log.find("Setting \"dftFwd\" holds characters other than ASCII and was ignored."), std::string::npos);
}

TEST(Agent, MalformedSettingsFileIsKeptAsideAndTheRunGoesOn) {
    TempDir home;
    RunResult first = runProgram({kAgent}, home.path()); // creates the folders
    std::string plist = home.file("Library/Preferences/com.vexlo.Tarnwell.plist");
    writeFile(plist, std::string("\0\x01garbage<plist", 15));
    RunResult run = runProgram({kAgent}, home.path());
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("updateSummary\t----------"), std::string::npos);
    bool keptAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(home.file("Library/Preferences")))
        keptAside = keptAside || readFile(entry.path()) == std::string("\0\x01garbage<plist", 15);
    EXPECT_TRUE(keptAside);
}

TEST(Agent, ReorganiseOptionDropsSectionsOfAccountsNoLongerConfigured) {
    TempDir home;
    writeSettings(home.path(), {{"Account", std::vector<std::string>{b64("ann@example.com:pw") + "\thost\t\t\t\t1\t0\t1\tPOP\t",
                                                                      b64("bob@example.com:pw") + "\thost\t\t\t\t1\t0\t1\tPOP\t"}}});
    std::string index = home.file("Library/Preferences/com.vexlo.Tarnwell.index");
    std::string ann = "[" + b64("ANN@example.com") + "]\n1\tF\n", gone = "[" + b64("old@example.com") + "]\n2\tF\n",
                bob = "[" + b64("bob@example.com") + "]\n3\tD\n";
    writeFile(index, "stray line\n" + ann + gone + bob);
    EXPECT_EQ(runProgram({kAgent}, home.path()).exitStatus, 0);
    EXPECT_EQ(readFile(index), "stray line\n" + ann + gone + bob) << "without -r the index is left alone";
    EXPECT_EQ(runProgram({kAgent, "-r"}, home.path()).exitStatus, 0);
    EXPECT_EQ(readFile(index), ann + bob);
}

namespace {

const std::string kSkipped = "Another Tarnwell Agent is already forwarding mail for this user; this one ends without "
                             "touching any account.";

std::vector<std::string> outputLines(const RunResult& run) {
    std::vector<std::string> lines;
    for (const auto& l : splitLines(run.out)) lines.push_back(stripDates(l));
    return lines;
}

// An index with a section that "-r" would drop, for runs that must leave it alone.
std::string writeIndexWithStaleSection(const TempDir& home) {
    std::filesystem::create_directories(home.file("Library/Preferences"));
    const std::string index = home.file("Library/Preferences/com.vexlo.Tarnwell.index");
    writeFile(index, "[" + b64("ann@example.com") + "]\n1\tF\n[" + b64("gone@example.com") + "]\n2\tF\n");
    return index;
}

} // namespace

TEST(Agent, SecondAgentTouchesNoAccountWhileTheFirstHoldsTheRunLock) {
    TempDir home;
    writeSettings(home.path(), {{"SMTPHost", std::string("127.0.0.1:1")},
                                {"Account", std::vector<std::string>{b64("ann@example.com:pw") + "\t127.0.0.1:1\t\t\t\t1\t0\t1\tPOP\t"}}});
    const std::string index = writeIndexWithStaleSection(home), before = readFile(index);
    const std::string lockPath = index + ".lock";
    {
        const int held = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        RunResult run = runProgram({kAgent, "-r"}, home.path());
        ::close(held);
        EXPECT_EQ(run.exitStatus, 0);
        const std::vector<std::string> expected = {
            "updateStatus\tNone\tStarting up",       "updateSummary\tTarnwell run started: ",
            "updateStatus\tNone\tDone",              "updateSummary\tTarnwell run completed: ",
            "updateSummary\t   0 accounts processed", "updateSummary\t----------",
        };
        EXPECT_EQ(outputLines(run), expected);
        const std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
        EXPECT_NE(log.find(kSkipped + "\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("Forwarding mail for"), std::string::npos) << log;
        EXPECT_EQ(readFile(index), before);
        EXPECT_EQ(fileMode(lockPath), 0600u);
    }

    // A lock file that cannot be ours (a link) stops the run as a critical error.
    const std::string victim = home.file("victim");
    writeFile(victim, "unrelated\n");
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), lockPath.c_str()), 0);
    RunResult run = runProgram({kAgent, "-r"}, home.path());
    EXPECT_NE(run.out.find("updateSummary\t   Critical error occurred\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("updateSummary\t   0 accounts processed\n"), std::string::npos) << run.out;
    const std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
    EXPECT_NE(log.find("   Message: Mail index cannot be locked.\r\n   The lock file \"" + lockPath + "\" cannot be used"),
              std::string::npos)
        << log;
    EXPECT_EQ(readFile(index), before);
    EXPECT_EQ(readFile(victim), "unrelated\n");
}

TEST(Agent, ReorganiseOptionKeepsTheIndexWhenTheSettingsWereNotReadWhole) {
    for (const bool damaged : {true, false}) {
        SCOPED_TRACE(damaged ? "damaged settings file" : "no settings file");
        TempDir home;
        const std::string index = writeIndexWithStaleSection(home), before = readFile(index);
        if (damaged) writeFile(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"), "<plist><dict><key>");
        EXPECT_EQ(runProgram({kAgent, "-r"}, home.path()).exitStatus, 0);
        EXPECT_EQ(readFile(index), before);
        const std::string log = readFile(home.file("Library/Logs/Tarnwell.log"));
        const std::string why = damaged ? "the settings file could not be read whole" : "there is no settings file";
        EXPECT_NE(log.find("Mail index not reorganised, every section is kept: " + why + ".\n"), std::string::npos)
            << log;
    }
}

TEST(Agent, LogsAreBroughtToTheOwnerAloneAndLinksInTheirPlaceAreNotWritten) {
    TempDir home;
    std::filesystem::create_directories(home.file("Library/Logs"));
    const std::string log = home.file("Library/Logs/Tarnwell.log"), trace = home.file("Library/Logs/Tarnwell Trace.log"),
                      errorLogFile = home.file("Library/Logs/Tarnwell Error.log");
    for (const std::string& path : {log, trace}) {
        writeFile(path, "earlier run\n");
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    }
    EXPECT_EQ(runProgram({kAgent, "-d"}, home.path()).exitStatus, 0);
    EXPECT_EQ(fileMode(log), 0600u);
    EXPECT_EQ(fileMode(trace), 0600u);

    // Links to files of the user's: none is followed, cut or narrowed, and each is named.
    // The log's own link can only be named on standard error, which stays as it was.
    const std::string big(200000, 'v');
    struct Planted {
        std::string path, target;
    };
    const std::vector<Planted> planted = {
        {log, home.file("log target")}, {trace, home.file("trace target")}, {errorLogFile, home.file("error target")}};
    for (size_t linked = 0; linked < planted.size(); ++linked) {
        SCOPED_TRACE(planted[linked].path);
        for (const Planted& p : planted) ::unlink(p.path.c_str());
        const Planted& p = planted[linked];
        writeFile(p.target, big);
        ASSERT_EQ(::chmod(p.target.c_str(), 0644), 0);
        ASSERT_EQ(::symlink(p.target.c_str(), p.path.c_str()), 0);
        testing::internal::CaptureStderr();
        RunResult run = runProgram({kAgent, "-d"}, home.path());
        const std::string stderrText = testing::internal::GetCapturedStderr();
        EXPECT_NE(run.out.find("updateSummary\t----------"), std::string::npos) << run.out;
        const std::string report = " \"" + p.path + "\" is a symbolic link, not a file of Tarnwell's; it is left "
                                                    "alone and not written.\n";
        EXPECT_NE((linked == 0 ? stderrText : readFile(log)).find(report), std::string::npos) << report;
        EXPECT_TRUE(readFile(p.target) == big);
        EXPECT_EQ(fileMode(p.target), 0644u);
    }
}
