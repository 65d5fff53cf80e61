#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base64.h"
#include "globals.h"
#include "mailindex.h"
#include "testutil.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

std::string hdr(std::string_view address) { return "[" + std::string(View(Base64_Encode(address))) + "]\n"; }

Entries entries(const mailIndex& ix) {
    Entries out;
    for (size_t i = 0; i < ix.msgIds.size(); ++i)
        out.emplace_back(std::string(View(ix.msgIds[i])), std::string(View(ix.msgMarks[i])));
    return out;
}

class MailIndexTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (AccountRow& row : globals.accounts) row.addr.clear();
    }

    Entries load(std::string_view account) {
        auto ix = mailIndex_construct();
        GetAcctIndex(*ix, index, account);
        return entries(*ix);
    }

    // Loads the account's section, lets edit change it, and writes it back.
    int update(std::string_view account, auto edit) {
        auto ix = mailIndex_construct();
        GetAcctIndex(*ix, index, account);
        edit(*ix);
        return PutAcctIndex(*ix);
    }

    // Writes the account back with one new identifier carrying mark.
    int remember(std::string_view account, const std::string& id, std::string_view mark) {
        return update(account, [&](mailIndex& ix) {
            AddAcct(ix, id);
            MarkAcct(ix, id, mark);
        });
    }

    void configure(std::vector<std::string> addresses) {
        for (size_t i = 0; i < addresses.size(); ++i) globals.accounts[i].addr = ToStr(addresses[i]);
    }

    TempDir dir;
    const std::string index = dir.file("com.vexlo.Tarnwell.index");
    const std::string temp = index + " copy";
};

} // namespace

TEST_F(MailIndexTest, LoadsOnlyTheFirstMatchingSectionWithMarksTranslated) {
    const std::string nulId("a\0b", 3);
    struct Case {
        const char* name;
        std::string content;
        Entries expected;
    };
    const Case cases[] = {
        {"missing file", "", {}},
        {"marks read as earlier runs' marks, other marks kept",
         hdr("bob@example.com") + "1\tF\n2\tD\n3\tf\n4\td\n5\tN\n",
         {{"1", "E"}, {"2", "C"}, {"3", "E"}, {"4", "C"}, {"5", "N"}}},
        {"address matched without regard to case", hdr("Bob@Example.COM") + "1\tF\n", {{"1", "E"}}},
        {"other sections around it ignored",
         hdr("alice@example.com") + "a\tF\n" + hdr("bob@example.com") + "b\tD\n" + hdr("carol@example.com") + "c\tF\n",
         {{"b", "C"}}},
        {"only the first section of the account",
         hdr("bob@example.com") + "1\tF\n" + hdr("x@y") + hdr("BOB@example.com") + "2\tF\n",
         {{"1", "E"}}},
        {"lines before the first header belong to no account",
         "1\tF\n" + hdr("bob@example.com") + "2\tF\n",
         {{"2", "E"}}},
        {"lines without a tab are no items", hdr("bob@example.com") + "\nbare\n1\tF\n", {{"1", "E"}}},
        {"identifier beginning with a bracket is an item",
         hdr("bob@example.com") + "[x]\tF\n2\tD\n",
         {{"[x]", "E"}, {"2", "C"}}},
        {"truncated last line", hdr("bob@example.com") + "1\tF\n2\tD", {{"1", "E"}, {"2", "C"}}},
        {"NUL bytes kept in identifiers", hdr("bob@example.com") + nulId + "\tF\nc\tD\n", {{nulId, "E"}, {"c", "C"}}},
        {"header that does not decode is not the account's",
         "[!!!!]\n1\tF\n[\n2\tF\n[]\n3\tF\n" + std::string("[\0\xff]\n4\tF\n", 9),
         {}},
        {"address is matched whole", hdr("bob@example.co") + "1\tF\n" + hdr("bob@example.com.x") + "2\tF\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.content.empty()) writeFile(index, c.content);
        EXPECT_EQ(load("bob@example.com"), c.expected);
    }
}

TEST_F(MailIndexTest, LookupMarkAndPurgeFollowTheIdentifierRules) {
    auto ix = mailIndex_construct();
    GetAcctIndex(*ix, index, "bob@example.com");
    EXPECT_EQ(View(ix->account), "bob@example.com");
    EXPECT_EQ(View(ix->path), index);
    AddAcct(*ix, "Msg1");
    AddAcct(*ix, "dup");
    AddAcct(*ix, "dup");
    EXPECT_EQ(FindAcct(*ix, "Msg1"), "N");
    EXPECT_EQ(FindAcct(*ix, "msg1"), "X"); // identifiers compare exactly
    EXPECT_EQ(FindAcct(*ix, "Msg"), "X");

    MarkAcct(*ix, "dup", "D");
    MarkAcct(*ix, "unknown", "F");
    EXPECT_EQ(entries(*ix), (Entries{{"Msg1", "N"}, {"dup", "D"}, {"dup", "N"}}));

    MarkAcct(*ix, "Msg1", "d");
    PurgeDelAcct(*ix);
    EXPECT_EQ(entries(*ix), (Entries{{"Msg1", "X"}, {"dup", "X"}, {"dup", "N"}}));
}

// Lookups go through a hash of the identifiers; a plain scan in file order is the
// rule they must follow: the first entry of an identifier answers, identifiers compare
// exactly, and entries keep their order through adds, marks, purges and reloads.
TEST_F(MailIndexTest, LookupsAgreeWithAScanInFileOrder) {
    struct Reference {
        Entries entries;
        Entries::iterator first(const std::string& id) {
            return std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == id; });
        }
        std::string find(const std::string& id) { return first(id) == entries.end() ? "X" : first(id)->second; }
        void mark(const std::string& id, const std::string& m) {
            if (first(id) != entries.end()) first(id)->second = m;
        }
        // What a write and a reload leave: "F" and "D" entries, read back as "E" and "C".
        void reload() {
            Entries kept;
            for (const auto& [id, m] : entries) {
                if (id.find_first_of("\r\n") != std::string::npos) continue;
                if (m == "F" || m == "f") kept.emplace_back(id, "E");
                if (m == "D" || m == "d") kept.emplace_back(id, "C");
            }
            entries = std::move(kept);
        }
    };
    struct Step {
        char op; // Add, Mark, Purge, Write and reload
        std::string id, mark;
    };
    std::vector<Step> generated;
    unsigned seed = 99;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245 + 12345;
        return (seed >> 8) % range;
    };
    const char* const marks[] = {"F", "D", "X", "f", "d", "E"};
    for (int i = 0; i < 6000; ++i) {
        const unsigned pick = next(100);
        std::string id = "m" + std::to_string(next(i < 3000 ? 4000 : 500));
        if (pick < 55)
            generated.push_back({'A', id, ""});
        else if (pick < 97)
            generated.push_back({'M', id, marks[next(6)]});
        else if (pick < 99)
            generated.push_back({'P', "", ""});
        else
            generated.push_back({'W', "", ""});
    }
    const std::string nul("a\0b", 3);
    struct Case {
        const char* name;
        std::string file;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"identifiers differing in case or by a NUL byte are distinct",
         "",
         {{'A', "abc", ""}, {'A', "ABC", ""}, {'A', nul, ""}, {'A', "a", ""}, {'A', "", ""}, {'M', "ABC", "F"},
          {'M', nul, "D"}, {'M', "", "F"}, {'M', "Abc", "D"}, {'W', "", ""}}},
        {"the first of duplicated entries answers, in the file and in this run",
         hdr("bob@x") + "dup\tF\ndup\tD\nother\tD\n",
         {{'A', "other", ""}, {'A', "new", ""}, {'A', "new", ""}, {'M', "dup", "D"}, {'M', "new", "F"},
          {'M', "other", "F"}, {'P', "", ""}, {'M', "dup", "F"}, {'W', "", ""}}},
        {"a reload forgets the identifiers added before it",
         hdr("bob@x") + "old\tF\n",
         {{'A', "unsent", ""}, {'A', "sent", ""}, {'M', "sent", "F"}, {'W', "", ""}, {'M', "unsent", "F"}}},
        {"thousands of entries, many of them duplicates", "", generated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(index, c.file);
        auto ix = mailIndex_construct();
        GetAcctIndex(*ix, index, "bob@x");
        Reference ref{entries(*ix)};
        std::vector<std::string> ids;
        for (const auto& e : ref.entries) ids.push_back(e.first);
        for (size_t n = 0; n < c.steps.size(); ++n) {
            const Step& step = c.steps[n];
            if (step.op == 'A') {
                AddAcct(*ix, step.id);
                ref.entries.emplace_back(step.id, "N");
                ids.push_back(step.id);
            } else if (step.op == 'M') {
                MarkAcct(*ix, step.id, step.mark);
                ref.mark(step.id, step.mark);
            } else if (step.op == 'P') {
                PurgeDelAcct(*ix);
                for (auto& e : ref.entries)
                    if (e.second == "D" || e.second == "d") e.second = "X";
            } else {
                ASSERT_EQ(PutAcctIndex(*ix), 0);
                GetAcctIndex(*ix, index, "bob@x");
                ref.reload();
            }
            ASSERT_EQ(View(FindAcct(*ix, step.id)), ref.find(step.id)) << n;
            if (n % 64 == 0 || n + 1 == c.steps.size()) {
                ASSERT_EQ(entries(*ix), ref.entries) << n;
            }
        }
        for (const std::string& id : ids) ASSERT_EQ(View(FindAcct(*ix, id)), ref.find(id)) << id;
        EXPECT_EQ(FindAcct(*ix, "never listed"), "X");
    }
}

TEST_F(MailIndexTest, WritesOnlyForwardedAndDeletedEntriesAsTheLastSection) {
    writeFile(index, "stray line\n" + hdr("bob@example.com") + "old\tF\n" + hdr("alice@example.com") + "a1\tF\n");
    ASSERT_EQ(update("BOB@example.com",
                     [](mailIndex& ix) {
                         AddAcct(ix, "new-fwd");
                         AddAcct(ix, "new-unsent");
                         AddAcct(ix, "new-del");
                         AddAcct(ix, "new-gone");
                         AddAcct(ix, "lower");
                         MarkAcct(ix, "new-fwd", "F");
                         MarkAcct(ix, "new-del", "D");
                         MarkAcct(ix, "new-gone", "X");
                         MarkAcct(ix, "lower", "f");
                     }),
              0);
    // "old" was not seen on the server ("E") and drops out; the header is rewritten from
    // the account's own spelling.
    EXPECT_EQ(readFile(index), "stray line\n" + hdr("alice@example.com") + "a1\tF\n" + hdr("BOB@example.com") +
                                   "new-fwd\tF\nnew-del\tD\nlower\tF\n");
    EXPECT_FALSE(fileExists(temp));
    EXPECT_EQ(fileMode(index), 0600u);
}

TEST_F(MailIndexTest, TwoAccountsTakeTurnsAtTheEnd) {
    ASSERT_EQ(remember("a@x", "a1", "F"), 0);
    ASSERT_EQ(remember("b@x", "b1", "D"), 0);
    EXPECT_EQ(readFile(index), hdr("a@x") + "a1\tF\n" + hdr("b@x") + "b1\tD\n");
    ASSERT_EQ(update("a@x", [](mailIndex& ix) { MarkAcct(ix, "a1", "F"); }), 0);
    EXPECT_EQ(readFile(index), hdr("b@x") + "b1\tD\n" + hdr("a@x") + "a1\tF\n");
}

TEST_F(MailIndexTest, MarksAppendedOneByOneAreReadBackAndFoldedIntoTheSection) {
    writeFile(index, hdr("b@x") + "b1\tF\n");
    auto ix = mailIndex_construct();
    GetAcctIndex(*ix, index, "a@x");
    AddAcct(*ix, "a1");
    AddAcct(*ix, "a2");
    ASSERT_EQ(PutAcctIndex(*ix), 0); // the section goes last, where the appends land
    MarkAcct(*ix, "a1", "F");
    ASSERT_EQ(AppendAcctIndex(*ix, "a1", "F"), 0);
    MarkAcct(*ix, "a2", "D");
    ASSERT_EQ(AppendAcctIndex(*ix, "a2", "D"), 0);
    EXPECT_EQ(AppendAcctIndex(*ix, "forged\n[x]", "F"), 0);
    // A run killed here still knows what it forwarded and what it began to delete.
    EXPECT_EQ(readFile(index), hdr("b@x") + "b1\tF\n" + hdr("a@x") + "a1\tF\na2\tD\n");
    EXPECT_EQ(load("a@x"), (Entries{{"a1", "E"}, {"a2", "C"}}));
    EXPECT_EQ(load("b@x"), (Entries{{"b1", "E"}}));
    ASSERT_EQ(PutAcctIndex(*ix), 0);
    EXPECT_EQ(readFile(index), hdr("b@x") + "b1\tF\n" + hdr("a@x") + "a1\tF\na2\tD\n");
    EXPECT_EQ(fileMode(index), 0600u);
}

TEST_F(MailIndexTest, DuplicateSectionsOfTheAccountCollapseIntoOne) {
    writeFile(index, hdr("a@x") + "1\tF\n" + hdr("b@x") + "b\tF\n" + hdr("A@X") + "2\tF\n" + hdr("c@x"));
    ASSERT_EQ(update("a@x", [](mailIndex& ix) { MarkAcct(ix, "1", "F"); }), 0);
    EXPECT_EQ(readFile(index), hdr("b@x") + "b\tF\n" + hdr("c@x") + hdr("a@x") + "1\tF\n");
}

// The index protocol over three runs: forward with delete, connection lost before QUIT,
// clean-up next time, then the identifier is forgotten.
TEST_F(MailIndexTest, InterruptedDeleteIsFinishedByTheNextRun) {
    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         for (const char* id : {"kept", "deleted", "unsent"}) AddAcct(ix, id);
                         MarkAcct(ix, "kept", "F");
                         MarkAcct(ix, "deleted", "F");
                         MarkAcct(ix, "deleted", "D");
                     }),
              0);
    EXPECT_EQ(load("bob@x"), (Entries{{"kept", "E"}, {"deleted", "C"}}));

    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         EXPECT_EQ(FindAcct(ix, "kept"), "E");
                         MarkAcct(ix, "kept", "F");
                         EXPECT_EQ(FindAcct(ix, "deleted"), "C");
                         MarkAcct(ix, "deleted", "D");
                         EXPECT_EQ(FindAcct(ix, "unsent"), "X"); // new again
                         PurgeDelAcct(ix);                       // QUIT confirmed
                     }),
              0);
    EXPECT_EQ(load("bob@x"), (Entries{{"kept", "E"}}));

    // Listed no more: the identifier drops out.
    ASSERT_EQ(update("bob@x", [](mailIndex&) {}), 0);
    EXPECT_EQ(readFile(index), hdr("bob@x"));
}

TEST_F(MailIndexTest, IdentifierWithLineFeedCannotForgeALine) {
    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         AddAcct(ix, "ok");
                         AddAcct(ix, "evil\n" + hdr("alice@x") + "x");
                         MarkAcct(ix, "ok", "F");
                         MarkAcct(ix, "evil\n" + hdr("alice@x") + "x", "F");
                     }),
              0);
    EXPECT_EQ(readFile(index), hdr("bob@x") + "ok\tF\n");
}

TEST_F(MailIndexTest, OtherAccountsAreCopiedByteForByte) {
    const std::string others = "before\n" + hdr("alice@x") + std::string("a\0\t F\n\n", 7) + "no tab\n" +
                               "[!!!!]\n[\n" + hdr("carol@x") + "c\tF";
    writeFile(index, others);
    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         AddAcct(ix, "b");
                         MarkAcct(ix, "b", "D");
                     }),
              0);
    // A truncated last line gets its line feed; nothing else changes.
    EXPECT_EQ(readFile(index), others + "\n" + hdr("bob@x") + "b\tD\n");
}

TEST_F(MailIndexTest, BinaryGarbageNeitherCrashesNorLosesBytes) {
    std::string garbage;
    unsigned seed = 12345;
    for (int i = 0; i < 1 << 20; ++i) {
        seed = seed * 1103515245 + 12345;
        const char pick[] = {'\0', '\n', '\t', '[', ']', '\r', 'F', 'D', '='};
        garbage.push_back((seed >> 16) % 4 ? static_cast<char>(seed >> 24) : pick[(seed >> 8) % sizeof pick]);
    }
    garbage += "\n";
    writeFile(index, garbage);
    // Every line end (CR LF, lone CR) is written back as LF; no other byte changes.
    std::string rewritten = garbage;
    for (size_t at = 0; (at = rewritten.find("\r\n", at)) != std::string::npos;) rewritten.erase(at, 1);
    std::replace(rewritten.begin(), rewritten.end(), '\r', '\n');
    EXPECT_EQ(load("bob@x"), Entries{});
    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         AddAcct(ix, "b");
                         MarkAcct(ix, "b", "F");
                     }),
              0);
    EXPECT_TRUE(readFile(index) == rewritten + hdr("bob@x") + "b\tF\n"); // a megabyte: no diff printed
}

TEST_F(MailIndexTest, EnormousFileIsHandledWhole) {
    std::string content = std::string(4 << 20, 'L') + "\n" + hdr("alice@x");
    size_t aliceItems = 0;
    for (; content.size() < (20u << 20); ++aliceItems)
        content += "0123456789abcdef0123456789abcdef-" + std::to_string(aliceItems) + "\tF\n";
    const std::string mine = hdr("bob@x") + "b1\tF\nb2\tD\n";
    writeFile(index, content + mine + hdr("carol@x") + "c\tF");
    EXPECT_EQ(load("bob@x"), (Entries{{"b1", "E"}, {"b2", "C"}}));
    EXPECT_EQ(load("alice@x").size(), aliceItems);
    ASSERT_EQ(update("bob@x", [](mailIndex& ix) { MarkAcct(ix, "b1", "F"); }), 0);
    EXPECT_TRUE(readFile(index) == content + hdr("carol@x") + "c\tF\n" + hdr("bob@x") + "b1\tF\n");
}

TEST_F(MailIndexTest, FailureBeforeTheRenameKeepsTheOldIndex) {
    const std::string before = hdr("alice@x") + "a\tF\n" + hdr("bob@x") + "b\tD\n";
    writeFile(index, before);
    auto ix = mailIndex_construct();
    GetAcctIndex(*ix, index, "bob@x");
    AddAcct(*ix, "n");
    MarkAcct(*ix, "n", "F");
    bool called = false;
    ix->beforeReplace = [&] {
        called = true;
        EXPECT_TRUE(fileExists(temp)); // complete and waiting
        return ENOSPC;
    };
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PutAcctIndex(*ix), -1);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(called);
    EXPECT_NE(log.find("Mail index could not be updated"), std::string::npos) << log;
    EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    EXPECT_EQ(readFile(index), before);
    EXPECT_FALSE(fileExists(temp));
    EXPECT_EQ(load("bob@x"), (Entries{{"b", "C"}}));

    // Nothing is left over that stops the next write.
    ix->beforeReplace = nullptr;
    EXPECT_EQ(PutAcctIndex(*ix), 0);
    EXPECT_EQ(load("bob@x"), (Entries{{"n", "E"}}));
    EXPECT_EQ(load("alice@x"), (Entries{{"a", "E"}}));
}

TEST_F(MailIndexTest, CrashBeforeTheRenameKeepsTheOldIndex) {
    const std::string before = hdr("alice@x") + "a\tF\n" + hdr("bob@x") + "b\tD\n";
    writeFile(index, before);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto ix = mailIndex_construct();
        GetAcctIndex(*ix, index, "bob@x");
        ix->beforeReplace = []() -> int { ::_exit(7); };
        PutAcctIndex(*ix);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(readFile(index), before);
    EXPECT_TRUE(fileExists(temp)); // the crash left the finished copy behind

    ASSERT_EQ(update("bob@x", [](mailIndex& ix) { MarkAcct(ix, "b", "D"); }), 0);
    EXPECT_EQ(readFile(index), before);
    EXPECT_FALSE(fileExists(temp));
}

TEST_F(MailIndexTest, UnwritableCopyOrUnreadableIndexChangesNothing) {
    const std::string before = hdr("alice@x") + "a\tF\n";
    writeFile(index, before);
    // The copy cannot be created in a folder that does not exist.
    auto elsewhere = mailIndex_construct();
    GetAcctIndex(*elsewhere, dir.file("gone/com.vexlo.Tarnwell.index"), "bob@x");
    AddAcct(*elsewhere, "b");
    MarkAcct(*elsewhere, "b", "F");
    Str reason;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PutAcctIndex(*elsewhere, &reason), -1);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Mail index could not be updated"), std::string::npos) << log;
    EXPECT_NE(View(reason).find("cannot create"), std::string_view::npos) << reason;
    EXPECT_EQ(readFile(index), before);

    // An index that exists but cannot be read is never replaced by this account alone.
    // Symbolic links make both failures independent of the user's privileges.
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    struct Case {
        const char* name;
        std::string target;
    };
    for (const Case& c : {Case{"read fails", dir.file("folder")}, Case{"open fails", index}}) {
        SCOPED_TRACE(c.name);
        ::unlink(index.c_str());
        ASSERT_EQ(::symlink(c.target.c_str(), index.c_str()), 0);
        EXPECT_EQ(load("bob@x"), Entries{});
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(update("bob@x",
                         [](mailIndex& ix) {
                             AddAcct(ix, "b");
                             MarkAcct(ix, "b", "F");
                         }),
                  -1);
        log = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("Mail index could not be updated"), std::string::npos) << log;
        struct stat st {};
        EXPECT_EQ(::lstat(index.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_FALSE(fileExists(temp));
    }
}

TEST_F(MailIndexTest, ReplacedIndexIsPrivate) {
    writeFile(index, hdr("alice@x"));
    ASSERT_EQ(::chmod(index.c_str(), 0644), 0);
    writeFile(temp, "leftover of a crash\n");
    ASSERT_EQ(::chmod(temp.c_str(), 0666), 0);
    ASSERT_EQ(update("bob@x", [](mailIndex&) {}), 0);
    EXPECT_EQ(fileMode(index), 0600u);
    EXPECT_EQ(readFile(index), hdr("alice@x") + hdr("bob@x"));
}

TEST_F(MailIndexTest, ReorgKeepsOnlyConfiguredSections) {
    configure({"alice@x", "Bob@X", "", "carol@x"}); // the table ends at the empty address
    const std::string nulItem("n\0\tF\n", 5);
    writeFile(index, "stray\tF\n" + hdr("bob@x") + "b\tF\n" + hdr("carol@x") + "c\tF\n" + hdr("alice@x") + nulItem +
                         "[!!]\nz\tF\n" + hdr("ALICE@x") + "a2\tD");
    auto ix = mailIndex_construct();
    EXPECT_EQ(ReorgIndex(*ix, index), 0);
    EXPECT_EQ(readFile(index), hdr("bob@x") + "b\tF\n" + hdr("alice@x") + nulItem + hdr("ALICE@x") + "a2\tD\n");
    EXPECT_FALSE(fileExists(temp));
    EXPECT_EQ(fileMode(index), 0600u);
}

TEST_F(MailIndexTest, ReorgWithoutIndexOrWithFailureChangesNothing) {
    configure({"alice@x"});
    auto ix = mailIndex_construct();
    EXPECT_EQ(ReorgIndex(*ix, index), 0);
    EXPECT_FALSE(fileExists(index));
    EXPECT_FALSE(fileExists(temp));

    const std::string before = hdr("bob@x") + "b\tF\n";
    writeFile(index, before);
    ix->beforeReplace = [] { return EIO; };
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ReorgIndex(*ix, index), -1);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Mail index could not be reorganised"), std::string::npos) << log;
    EXPECT_EQ(readFile(index), before);
    EXPECT_FALSE(fileExists(temp));
}

TEST_F(MailIndexTest, AnyLineEndIsReadAndLineFeedsAreWritten) {
    configure({"alice@x", "bob@x"});
    const std::string lf = "stray\n" + hdr("alice@x") + "a1\tF\n" + hdr("old@x") + "o1\tF\n" + hdr("bob@x") +
                           "b1\tF\nb2\tD\n";
    for (const std::string end : {"\r\n", "\r"}) {
        SCOPED_TRACE(end == "\r" ? "lone CR" : "CR LF");
        std::string content = lf;
        for (size_t at = 0; (at = content.find('\n', at)) != std::string::npos; at += end.size())
            content.replace(at, 1, end);
        writeFile(index, content);
        EXPECT_EQ(load("bob@x"), (Entries{{"b1", "E"}, {"b2", "C"}}));
        EXPECT_EQ(load("alice@x"), (Entries{{"a1", "E"}}));
        ASSERT_EQ(update("bob@x",
                         [](mailIndex& ix) {
                             MarkAcct(ix, "b1", "F");
                             MarkAcct(ix, "b2", "D");
                         }),
                  0);
        EXPECT_EQ(readFile(index), "stray\n" + hdr("alice@x") + "a1\tF\n" + hdr("old@x") + "o1\tF\n" + hdr("bob@x") +
                                       "b1\tF\nb2\tD\n");

        writeFile(index, content);
        auto ix = mailIndex_construct();
        ASSERT_EQ(ReorgIndex(*ix, index), 0);
        EXPECT_EQ(readFile(index), hdr("alice@x") + "a1\tF\n" + hdr("bob@x") + "b1\tF\nb2\tD\n");
    }
    // An identifier holding a CR would come back as two lines; it is not written.
    ASSERT_EQ(update("bob@x",
                     [](mailIndex& ix) {
                         AddAcct(ix, "c\rd");
                         MarkAcct(ix, "c\rd", "F");
                         EXPECT_EQ(AppendAcctIndex(ix, "c\rd", "F"), 0);
                     }),
              0);
    EXPECT_EQ(load("bob@x"), Entries{});
}

// RLIMIT_FSIZE lets the file grow by a few bytes only: the write stops inside the line
// exactly as on a full disk.
TEST_F(MailIndexTest, AppendCutShortLeavesNoPartOfTheLine) {
    const std::string before = std::string(65536, 's') + "\n" + hdr("a@x") + "a1\tF\n";
    writeFile(index, before);
    auto ix = mailIndex_construct();
    GetAcctIndex(*ix, index, "a@x");

    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = before.size() + 3;
    Str reason;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const int rc = AppendAcctIndex(*ix, "a2", "F", &reason);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(readFile(index), before);
    EXPECT_NE(View(reason).find("cannot append to \"" + index + "\" (File too large)"), std::string_view::npos)
        << reason;
    EXPECT_NE(log.find("Mail index could not be updated: " + std::string(View(reason))), std::string::npos) << log;

    EXPECT_EQ(AppendAcctIndex(*ix, "a2", "F"), 0);
    EXPECT_EQ(load("a@x"), (Entries{{"a1", "E"}, {"a2", "E"}}));
}

TEST_F(MailIndexTest, NothingIsWrittenThroughALinkBesideOrInPlaceOfTheIndex) {
    const std::string victim = dir.file("unrelated"), unrelated = "someone else's text\n";
    writeFile(victim, unrelated);
    ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
    writeFile(index, hdr("a@x") + "a1\tF\n");
    ASSERT_EQ(::symlink(victim.c_str(), temp.c_str()), 0);
    configure({"a@x", "b@x"});

    ASSERT_EQ(remember("b@x", "b1", "F"), 0);
    EXPECT_EQ(readFile(index), hdr("a@x") + "a1\tF\n" + hdr("b@x") + "b1\tF\n");
    auto ix = mailIndex_construct();
    ASSERT_EQ(ReorgIndex(*ix, index), 0);
    EXPECT_EQ(readFile(index), hdr("a@x") + "a1\tF\n" + hdr("b@x") + "b1\tF\n");
    struct stat st {};
    ASSERT_EQ(::lstat(temp.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 3u) << "the copies under a unique name are gone";

    // Appends to an index that is a link go nowhere.
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), index.c_str()), 0);
    GetAcctIndex(*ix, index, "b@x");
    Str reason;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(AppendAcctIndex(*ix, "b2", "F", &reason), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_NE(View(reason).find("cannot append to"), std::string_view::npos) << reason;

    EXPECT_EQ(readFile(victim), unrelated);
    EXPECT_EQ(fileMode(victim), 0644u);
}
