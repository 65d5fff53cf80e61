#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "seqfile.h"
#include "testutil.h"

namespace {

// Every record of the file, read to the end; atEnd must be set by the final -1.
std::vector<std::string> readAll(const std::string& path) {
    auto f = seqFile_construct();
    EXPECT_EQ(seqFile_openInput(*f, path), 0);
    std::vector<std::string> recs;
    while (seqFile_readRec(*f) == 0) recs.emplace_back(f->rec.data(), f->rec.size());
    EXPECT_EQ(f->atEnd, 1);
    EXPECT_TRUE(f->rec.empty());
    EXPECT_EQ(seqFile_close(*f), 0);
    return recs;
}

using Recs = std::vector<std::string>;

} // namespace

TEST(SeqFileRead, SplitsLinesKeepingEveryByteButTheLineFeed) {
    const std::string nul("a\0b", 3);
    struct Case {
        const char* name;
        std::string content;
        Recs expected;
    };
    const Case cases[] = {
        {"empty file", "", {}},
        {"one empty line", "\n", {""}},
        {"last line without LF", "one\ntwo", {"one", "two"}},
        {"CR kept before LF", "one\r\ntwo\r\n", {"one\r", "two\r"}},
        {"lone CR is not a line end", "a\rb\n", {"a\rb"}},
        {"NUL bytes kept", nul + "\n" + nul, {nul, nul}},
        {"blank lines kept", "\n\nx\n\n", {"", "", "x", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir.file("f"), c.content);
        EXPECT_EQ(readAll(dir.file("f")), c.expected);
    }
}

// Lines are read in pieces of 1023 bytes; lengths around the piece size catch a lost or
// doubled byte where one piece ends and the next begins.
TEST(SeqFileRead, LongLinesComeBackWholeAtEveryPieceBoundary) {
    for (size_t len : {1022u, 1023u, 1024u, 1025u, 2046u, 2047u, 2048u, 5000u, 300000u}) {
        SCOPED_TRACE(len);
        std::string line;
        for (size_t i = 0; i < len; ++i) line.push_back(static_cast<char>('a' + i % 26));
        TempDir dir;
        writeFile(dir.file("f"), line + "\n" + line + "\nz");
        EXPECT_EQ(readAll(dir.file("f")), (Recs{line, line, "z"}));
        writeFile(dir.file("g"), line);
        EXPECT_EQ(readAll(dir.file("g")), Recs{line});
    }
}

TEST(SeqFileRead, EndIsReportedOnceAndStaysReported) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    auto f = seqFile_construct();
    ASSERT_EQ(seqFile_openInput(*f, dir.file("f")), 0);
    EXPECT_EQ(seqFile_readRec(*f), 0);
    EXPECT_EQ(f->rec, "x");
    EXPECT_EQ(f->atEnd, 0);
    EXPECT_EQ(seqFile_readRec(*f), -1);
    EXPECT_EQ(f->atEnd, 1);
    EXPECT_EQ(seqFile_readRec(*f), -1);
    EXPECT_EQ(seqFile_close(*f), 0);
    EXPECT_EQ(seqFile_close(*f), -1);
}

TEST(SeqFileOpen, FailureNamesTheSystemError) {
    TempDir dir;
    auto f = seqFile_construct();
    EXPECT_EQ(seqFile_openInput(*f, dir.file("missing")), -1);
    EXPECT_EQ(f->errText, "No such file or directory");
    EXPECT_EQ(View(f->path), dir.file("missing"));
    EXPECT_EQ(seqFile_readRec(*f), -1);
    EXPECT_EQ(f->atEnd, 0);
    EXPECT_EQ(seqFile_openOutput(*f, dir.file("no/such/folder")), -1);
    EXPECT_EQ(f->errText, "No such file or directory");
    EXPECT_EQ(seqFile_writeRec(*f), -1);
}

TEST(SeqFileWrite, RecordsRoundTripByteForByte) {
    TempDir dir;
    const Recs recs = {"plain", "", "cr\r", std::string("n\0l", 3), std::string(5000, 'q')};
    auto f = seqFile_construct();
    ASSERT_EQ(seqFile_openOutput(*f, dir.file("out")), 0);
    for (const std::string& r : recs) {
        f->rec = ToStr(r);
        EXPECT_EQ(seqFile_writeRec(*f), 0);
        EXPECT_TRUE(f->rec.empty());
    }
    EXPECT_EQ(seqFile_sync(*f), 0);
    EXPECT_EQ(seqFile_close(*f), 0);
    EXPECT_EQ(readAll(dir.file("out")), recs);
}

TEST(SeqFileWrite, OutputIsPrivateAndTruncated) {
    TempDir dir;
    auto f = seqFile_construct();
    ASSERT_EQ(seqFile_openOutput(*f, dir.file("new")), 0);
    EXPECT_EQ(seqFile_close(*f), 0);
    EXPECT_EQ(fileMode(dir.file("new")), 0600u);

    // An existing file loses both its content and a wider mode.
    writeFile(dir.file("old"), "previous content\n");
    ASSERT_EQ(::chmod(dir.file("old").c_str(), 0644), 0);
    ASSERT_EQ(seqFile_openOutput(*f, dir.file("old")), 0);
    f->rec = ToStr("new");
    EXPECT_EQ(seqFile_writeRec(*f), 0);
    EXPECT_EQ(seqFile_close(*f), 0);
    EXPECT_EQ(readFile(dir.file("old")), "new\n");
    EXPECT_EQ(fileMode(dir.file("old")), 0600u);
}

TEST(SeqFileWrite, NewOutputNeverOpensWhatIsAlreadyThere) {
    TempDir dir;
    writeFile(dir.file("target"), "keep\n");
    ASSERT_EQ(::chmod(dir.file("target").c_str(), 0644), 0);
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    auto f = seqFile_construct();
    for (const char* name : {"target", "link", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(seqFile_createOutput(*f, dir.file(name)), -1);
        EXPECT_EQ(errno, EEXIST);
    }
    // Truncating output refuses a link too, dangling or not.
    EXPECT_EQ(seqFile_openOutput(*f, dir.file("link")), -1);
    EXPECT_EQ(seqFile_openOutput(*f, dir.file("dangling")), -1);
    EXPECT_FALSE(fileExists(dir.file("nowhere")));
    EXPECT_EQ(readFile(dir.file("target")), "keep\n");
    EXPECT_EQ(fileMode(dir.file("target")), 0644u);

    const std::string pattern = dir.file("target.XXXXXX");
    ASSERT_EQ(seqFile_createOutput(*f, pattern, true), 0);
    const std::string chosen(View(f->path));
    EXPECT_NE(chosen, pattern);
    EXPECT_EQ(chosen.compare(0, pattern.size() - 6, pattern, 0, pattern.size() - 6), 0) << chosen;
    f->rec = ToStr("fresh");
    EXPECT_EQ(seqFile_writeRec(*f), 0);
    EXPECT_EQ(seqFile_close(*f), 0);
    EXPECT_EQ(readFile(chosen), "fresh\n");
    EXPECT_EQ(fileMode(chosen), 0600u);
}
