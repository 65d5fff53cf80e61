#include <gtest/gtest.h>

#include "globals.h"
#include "log.h"
#include "rundriver.h"
#include "testutil.h"

#include <sys/stat.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct RunState {
    RunState() {
        globals.runActive = 1;
        globals.acctErrorCount = 0;
        globals.stopRequested = 0;
        globals.statusRequested = 0;
        mt_globals = MtGlobals();
        row.addr = ToStr("user@example.com");
        globals.current = &row;
    }
    ~RunState() {
        globals.runActive = 0;
        globals.current = nullptr;
        globals.stopRequested = 0;
    }
    AccountRow row;
};

} // namespace

TEST(LogBlock, EveryLineIsIndentedAndTextIsNeverAFormat) {
    CaptureStderr();
    logMsg("Message: 100%s done\r\nsecond line");
    std::string log = GetCapturedStderr();
    auto lines = splitLines(log);
    ASSERT_EQ(lines.size(), 5u) << log;
    EXPECT_EQ(lines[0], "   -----");
    EXPECT_EQ(lines[1].size(), 3u + 24u);
    EXPECT_EQ(lines[2], "   Message: 100%s done\r");
    EXPECT_EQ(lines[3], "   second line");
    EXPECT_EQ(lines[4], "   -----");
    EXPECT_EQ(getDateTimeStr().size(), 24u);
}

TEST(LogFile, ResizeKeepsTheLastBytesOnlyWhenTooLong) {
    TempDir dir;
    std::string big;
    for (int i = 0; i < 200000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    writeFile(dir.file("log"), big);
    resizeLog(dir.file("log"), 131072);
    EXPECT_EQ(readFile(dir.file("log")), big.substr(200000 - 131072));

    writeFile(dir.file("small"), "short");
    resizeLog(dir.file("small"), 131072);
    EXPECT_EQ(readFile(dir.file("small")), "short");
    resizeLog(dir.file("missing"), 10);
    EXPECT_FALSE(fileExists(dir.file("missing")));
}

TEST(LogFile, ErrorLogIsReplacedEachTimeAndPrivate) {
    TempDir dir;
    errorLogSetPath(dir.file("error.log"));
    errorLog("first %d", 1);
    errorLog("%s", "second");
    errorLogSetPath("");
    EXPECT_EQ(readFile(dir.file("error.log")), "second\n");
    EXPECT_EQ(fileMode(dir.file("error.log")), 0600u);

    // A wider file is narrowed; a link in the log's place is neither followed nor cut.
    writeFile(dir.file("wide.log"), "old\n");
    ASSERT_EQ(::chmod(dir.file("wide.log").c_str(), 0644), 0);
    writeFile(dir.file("target"), std::string(300, 't'));
    ASSERT_EQ(::chmod(dir.file("target").c_str(), 0644), 0);
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link.log").c_str()), 0);
    for (const char* name : {"wide.log", "link.log"}) {
        errorLogSetPath(dir.file(name));
        errorLog("new");
        resizeLog(dir.file(name), 100);
    }
    errorLogSetPath("");
    EXPECT_EQ(readFile(dir.file("wide.log")), "new\n");
    EXPECT_EQ(fileMode(dir.file("wide.log")), 0600u);
    EXPECT_EQ(readFile(dir.file("target")), std::string(300, 't'));
    EXPECT_EQ(fileMode(dir.file("target")), 0644u);
}

TEST(Alerts, FirstFailureRetriesSecondSkipsAndNotesContinue) {
    RunState run;
    CaptureStderr();
    EXPECT_EQ(ShowAlert("Note", "Just so you know", "Nothing wrong"), 1);
    EXPECT_EQ(ShowAlert("Caution", "Login failed.", "Wrong password %s"), 3);
    EXPECT_EQ(mt_globals.acctsRetried, 1);
    EXPECT_EQ(ShowAlert("caution", "Login failed.", "Again"), 1);
    std::string log = GetCapturedStderr();
    EXPECT_EQ(mt_globals.acctsRetried, 0);
    EXPECT_EQ(mt_globals.acctsSkipped, 1);
    EXPECT_NE(log.find("   Action: Continue"), std::string::npos);
    EXPECT_NE(log.find("   Account: user@example.com\r\n   Status: "), std::string::npos);
    EXPECT_NE(log.find("   Wrong password %s\r\n   Action: Retry account"), std::string::npos);
    EXPECT_NE(log.find("   Action: Skip to next account"), std::string::npos);
}

TEST(Alerts, FatalAlertCancelsAndNothingIsLoggedOutsideARun) {
    RunState run;
    globals.acctErrorCount = -1;
    CaptureStderr();
    EXPECT_EQ(ShowAlert("Stop", "SMTP Host not defined.", "x"), 1);
    globals.runActive = 0;
    EXPECT_EQ(ShowAlert("Caution", "ignored", "ignored"), 1);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("Action: Cancel"), std::string::npos);
    EXPECT_EQ(log.find("ignored"), std::string::npos);
    EXPECT_EQ(mt_globals.acctsRetried + mt_globals.acctsSkipped, 0);
}

TEST(StatusChannel, StopAndStatusRequestsAreAnsweredAtThePollingPoint) {
    RunState run;
    CaptureStdout();
    CaptureStderr();
    updateStatus("user@example.com", "Forwarding\tmessage 1 of 3\n");
    EXPECT_EQ(CkStopReq(), 0);
    globals.statusRequested = 1;
    EXPECT_EQ(CkStopReq(), 0);
    EXPECT_EQ(globals.statusRequested, 0);
    globals.stopRequested = 1;
    EXPECT_EQ(CkStopReq(), 1);
    EXPECT_EQ(CkStopReq(), 1);
    std::string out = GetCapturedStdout();
    std::string log = GetCapturedStderr();
    EXPECT_EQ(out,
              "updateStatus\tuser@example.com\tForwarding message 1 of 3 \n"
              "updateStatus\tuser@example.com\tForwarding message 1 of 3 \n"
              "updateStatus\tNone\tStopped\n"
              "updateStatus\tNone\tStopped\n");
    EXPECT_EQ(log, "Tarnwell run canceled by user request\nTarnwell run canceled by user request\n");
}

TEST(RunSummary, CountsArePluralisedAndRetriesShownOnlyWhenTracing) {
    RunState run;
    mt_globals.acctsProcessed = 1;
    mt_globals.acctsRetried = 2;
    mt_globals.acctsSkipped = 1;
    CaptureStdout();
    CaptureStderr();
    ResetStart();
    std::string out = GetCapturedStdout();
    GetCapturedStderr();
    auto lines = splitLines(out);
    ASSERT_EQ(lines.size(), 5u) << out;
    EXPECT_EQ(lines[0], "updateStatus\tNone\tDone");
    EXPECT_EQ(lines[2], "updateSummary\t   1 account processed");
    EXPECT_EQ(lines[3], "updateSummary\t   1 account skipped with errors");
    EXPECT_EQ(lines[4], "updateSummary\t----------");
    EXPECT_EQ(globals.runActive, 0);
}
