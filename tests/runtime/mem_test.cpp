#include <gtest/gtest.h>

#include <cstdlib>

#include "mem.h"
#include "testutil.h"
#include "tstr.h"

namespace {

// Switches tracing on into a fresh trace file for one test and off again after.
class Tracing {
public:
    Tracing() {
        debugLogSetPath(dir_.file("trace.log"));
        debugReq = 1;
    }
    ~Tracing() {
        debugReq = 0;
        debugLogSetPath("");
    }
    std::vector<std::string> lines() const { return splitLines(readFile(dir_.file("trace.log"))); }

private:
    TempDir dir_;
};

} // namespace

TEST(TrackedMemory, AuditNamesLiveBlocksWithTheirTagAndSize) {
    Tracing trace;
    int before = mem_alloc_ctr();
    {
        DebugTag tag("MailIndex Constructor");
        Str s = NewStr("a string long enough to leave ", "the small-string buffer");
        EXPECT_EQ(mem_alloc_ctr(), before + 1);
        mem_audit();
    }
    EXPECT_EQ(mem_alloc_ctr(), before);
    auto lines = trace.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Memory allocation count: 1\r");
    EXPECT_NE(lines[1].find("tag: MailIndex Constructor  size: 54"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].substr(0, 6), "0000  ");
}

TEST(TrackedMemory, ReallocMovesTheRecordAndFreeTracesOddBlocks) {
    void* untracked = mem_alloc(8); // made before tracing: unknown to the list
    Tracing trace;
    DebugTag tag("Test.Step");
    int before = mem_alloc_ctr();
    void* p = mem_alloc(10);
    p = mem_realloc(p, 100);
    EXPECT_EQ(mem_alloc_ctr(), before + 1);
    mem_free(p);
    EXPECT_EQ(mem_alloc_ctr(), before);
    mem_free(untracked);
    mem_free(nullptr);
    auto lines = trace.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Freeing unassigned pointer: ", 0), 0u);
    EXPECT_NE(lines[0].find(" - Test.Step\r"), std::string::npos);
    EXPECT_EQ(lines[1], "Freeing null pointer - Test.Step\r");
}

TEST(TraceLog, HexDumpPadsTheShortLastLine) {
    Tracing trace;
    const char data[] = "0123456789abcdef%A\x01~";
    debugPrintHex(data, 20);
    auto lines = trace.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  0123456789abcdef\r");
    EXPECT_EQ(lines[1], "0010  25 41 01 7e " + std::string(12 * 3, ' ') + " .A.~\r");
    EXPECT_EQ(lines[0].find("0123"), lines[1].find(".A.~"));
}

TEST(TraceLog, NothingIsWrittenWithTracingOff) {
    TempDir dir;
    debugLogSetPath(dir.file("trace.log"));
    debugLog("not written %d", 1);
    debugLogSetPath("");
    EXPECT_FALSE(fileExists(dir.file("trace.log")));
}

TEST(TraceLog, LinesEndWithCrLfAndFileIsPrivate) {
    Tracing trace;
    errno = 42;
    debugLog("step %s", "one");
    EXPECT_EQ(errno, 42);
    EXPECT_EQ(trace.lines().at(0), "step one\r");
    EXPECT_EQ(fileMode(debugLogPath()), 0600u);
}
