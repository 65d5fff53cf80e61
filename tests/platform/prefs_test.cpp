#include "prefs.h"

#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testutil.h"

namespace {

using prefs::Domain;
using prefs::Value;
using Strings = std::vector<std::string>;

std::string plistOf(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> asideFiles(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& name : namesIn(folder)) {
        if (name.find(".malformed-") != std::string::npos) found.push_back(folder + "/" + name);
    }
    return found;
}

// A binary property list of arrays nested depth deep, written by hand because libplist
// itself overflows the stack writing (and reading) one this deep.
std::string deepBinaryPlist(std::uint32_t depth) {
    std::string objects;
    std::string table;
    auto bigEndian = [](std::uint64_t v, int size) {
        std::string out;
        for (int i = size - 1; i >= 0; --i) out += static_cast<char>(v >> (8 * i));
        return out;
    };
    for (std::uint32_t i = 0; i < depth; ++i) {
        table += bigEndian(8 + objects.size(), 4);
        objects += i + 1 < depth ? '\xA1' + bigEndian(i + 1, 3) : std::string(1, '\xA0');
    }
    const std::uint64_t tableOffset = 8 + objects.size();
    return "bplist00" + objects + table + std::string(6, '\0') + '\x04' + '\x03' + bigEndian(depth, 8) + bigEndian(0, 8) +
           bigEndian(tableOffset, 8);
}

TEST(PrefsStore, RoundTripsStringsAndArraysAndDeletes) {
    TempDir dir;
    const std::string path = dir.file("Library/Preferences/test.plist");
    Domain writer(path);
    EXPECT_TRUE(writer.AppSynchronize());
    EXPECT_TRUE(writer.Keys().empty());

    const std::string awkward = "tab\there <&> \"quoted\" caf\xC3\xA9";
    writer.SetAppValue("SMTPHost", Value(std::string("smtp.example.com:465")));
    writer.SetAppValue("Odd", Value(awkward));
    writer.SetAppValue("Account", Value(Strings{"first\t", "", awkward}));
    writer.SetAppValue("Empty", Value(Strings{}));
    // Pending writes are visible to their own process before synchronising.
    EXPECT_EQ(writer.CopyAppValue("SMTPHost"), Value(std::string("smtp.example.com:465")));
    ASSERT_TRUE(writer.AppSynchronize()) << writer.LastProblem();
    EXPECT_TRUE(writer.LastProblem().empty());

    Domain reader(path);
    ASSERT_TRUE(reader.AppSynchronize());
    EXPECT_EQ(reader.Keys(), (Strings{"Account", "Empty", "Odd", "SMTPHost"}));
    EXPECT_EQ(reader.CopyAppValue("Odd"), Value(awkward));
    EXPECT_EQ(reader.CopyAppValue("Account"), Value(Strings{"first\t", "", awkward}));
    EXPECT_EQ(reader.CopyAppValue("Empty"), Value(Strings{}));
    EXPECT_FALSE(reader.CopyAppValue("Missing"));

    // Deleting, also a key that is not there, and overwriting.
    writer.SetAppValue("Odd", std::nullopt);
    writer.SetAppValue("Missing", std::nullopt);
    writer.SetAppValue("SMTPHost", Value(Strings{"now", "a list"}));
    EXPECT_FALSE(writer.CopyAppValue("Odd"));
    EXPECT_EQ(writer.Keys(), (Strings{"Account", "Empty", "SMTPHost"}));
    ASSERT_TRUE(writer.AppSynchronize()) << writer.LastProblem();
    ASSERT_TRUE(reader.AppSynchronize());
    EXPECT_FALSE(reader.CopyAppValue("Odd"));
    EXPECT_EQ(reader.CopyAppValue("SMTPHost"), Value(Strings{"now", "a list"}));

    // A binary property list is read too, and written back as XML.
    const std::string binary =
        "62706c6973743030d201020306574163636f756e7458534d5450486f7374a20405516151625f100f62696e2e6578616d706c652e636f"
        "6d080d151e2123250000000000000101000000000000000700000000000000000000000000000037";
    std::string bytes;
    for (std::size_t i = 0; i < binary.size(); i += 2) bytes += static_cast<char>(std::stoi(binary.substr(i, 2), nullptr, 16));
    writeFile(path, bytes);
    ASSERT_TRUE(reader.AppSynchronize());
    EXPECT_EQ(reader.CopyAppValue("SMTPHost"), Value(std::string("bin.example.com")));
    EXPECT_EQ(reader.CopyAppValue("Account"), Value(Strings{"a", "b"}));
    reader.SetAppValue("dftFwd", Value(std::string("me@example.com")));
    ASSERT_TRUE(reader.AppSynchronize());
    EXPECT_NE(readFile(path).find("<string>bin.example.com</string>"), std::string::npos);
}

TEST(PrefsStore, OtherKindsOfValuesReadAsAbsentAndSurviveWrites) {
    TempDir dir;
    const std::string path = dir.file("test.plist");
    // Nesting just within the limit on containers is read and written back whole.
    std::string deep;
    for (int i = 0; i < 4000; ++i) deep += "<array>";
    for (int i = 0; i < 4000; ++i) deep += "</array>";
    writeFile(path, plistOf("<dict><key>Deep</key>" + deep + "<key>Number</key><integer>42</integer>"
                            "<key>Flag</key><true/>"
                            "<key>Nested</key><dict><key>a</key><string>b</string></dict>"
                            "<key>Mixed</key><array><string>a</string><integer>7</integer><dict/><string>d</string></array>"
                            "<key>Plain</key><string>p</string></dict>"));
    Domain domain(path);
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_TRUE(domain.LastProblem().empty());
    EXPECT_EQ(domain.Keys(), (Strings{"Deep", "Mixed", "Plain"}));
    EXPECT_EQ(domain.CopyAppValue("Deep"), Value(Strings{""}));
    EXPECT_FALSE(domain.CopyAppValue("Number"));
    EXPECT_FALSE(domain.CopyAppValue("Flag"));
    EXPECT_FALSE(domain.CopyAppValue("Nested"));
    EXPECT_EQ(domain.CopyAppValue("Mixed"), Value(Strings{"a", "", "", "d"}));

    domain.SetAppValue("Plain", Value(std::string("q")));
    ASSERT_TRUE(domain.AppSynchronize());
    const std::string written = readFile(path);
    EXPECT_NE(written.find("<integer>42</integer>"), std::string::npos);
    EXPECT_NE(written.find("<true/>"), std::string::npos);
    EXPECT_NE(written.find("<key>Nested</key>"), std::string::npos);
    EXPECT_NE(written.find("<string>q</string>"), std::string::npos);
    std::size_t arrays = 0;
    for (auto pos = written.find("<array"); pos != std::string::npos; pos = written.find("<array", pos + 1)) ++arrays;
    EXPECT_EQ(arrays, 4001u);

    // An empty file is an empty domain, not a damaged one.
    writeFile(path, "");
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_TRUE(domain.Keys().empty());
    EXPECT_TRUE(domain.LastProblem().empty());
    EXPECT_TRUE(asideFiles(dir.path()).empty());
}

TEST(PrefsStore, FilesAndFoldersArePrivate) {
    TempDir home;
    const char* oldHome = std::getenv("HOME");
    const std::string saved = oldHome ? oldHome : "";
    ::setenv("HOME", home.path().c_str(), 1);
    const std::string path = Domain::DefaultPath("com.vexlo.Tarnwell");
    if (oldHome) ::setenv("HOME", saved.c_str(), 1);
    ASSERT_EQ(path, home.path() + "/Library/Preferences/com.vexlo.Tarnwell.plist");

    // Reading a domain that does not exist leaves no trace.
    Domain domain(path);
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_TRUE(namesIn(home.path()).empty());

    domain.SetAppValue("SMTPHost", Value(std::string("h")));
    ASSERT_TRUE(domain.AppSynchronize()) << domain.LastProblem();
    EXPECT_EQ(fileMode(home.file("Library")), 0700u);
    EXPECT_EQ(fileMode(home.file("Library/Preferences")), 0700u);
    EXPECT_EQ(fileMode(path), 0600u);
    EXPECT_EQ(fileMode(path + ".lock"), 0600u);
    EXPECT_EQ(namesIn(home.file("Library/Preferences")),
              (Strings{"com.vexlo.Tarnwell.plist", "com.vexlo.Tarnwell.plist.lock"}));

    // A file someone made readable to others is replaced by a private one.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    domain.SetAppValue("SMTPHost", Value(std::string("h2")));
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_EQ(fileMode(path), 0600u);

    // A folder that cannot be made fails the write and keeps it pending.
    writeFile(home.file("blocker"), "");
    Domain blocked(home.file("blocker/Preferences/x.plist"));
    blocked.SetAppValue("k", Value(std::string("v")));
    EXPECT_FALSE(blocked.AppSynchronize());
    EXPECT_NE(blocked.LastProblem().find("cannot be created"), std::string::npos);
    EXPECT_EQ(blocked.CopyAppValue("k"), Value(std::string("v")));
}

TEST(PrefsStore, BadFilesAreMovedAsideAndNeverOverwritten) {
    std::string nestedArrays;
    for (int i = 0; i < 300000; ++i) nestedArrays += "<array>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"garbage text", "this is not a property list\n"},
        {"truncated XML", plistOf("<dict><key>SMTPHost</key><string>h</str")},
        {"array root", plistOf("<array><string>a</string></array>")},
        {"binary garbage", std::string("bplist00\x01\xFF\x00garbage\x00\x10", 20)},
        {"deep XML", plistOf("<dict><key>k</key>" + nestedArrays + "</dict>")},
        {"deep binary", deepBinaryPlist(1500000)},
    };
    for (const auto& [label, content] : cases) {
        SCOPED_TRACE(label);
        TempDir dir;
        const std::string path = dir.file("test.plist");
        writeFile(path, content);
        Domain domain(path);
        ASSERT_TRUE(domain.AppSynchronize());
        EXPECT_TRUE(domain.Keys().empty());
        const auto aside = asideFiles(dir.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(aside[0]), content);
        EXPECT_NE(domain.LastProblem().find(aside[0]), std::string::npos) << domain.LastProblem();
        EXPECT_FALSE(fileExists(path));

        domain.SetAppValue("SMTPHost", Value(std::string("h")));
        ASSERT_TRUE(domain.AppSynchronize());
        EXPECT_TRUE(domain.LastProblem().empty());
        EXPECT_EQ(readFile(aside[0]), content);
    }

    TempDir dir;
    const std::string path = dir.file("test.plist");
    // Too large to be settings: moved aside without being read (a sparse file).
    writeFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(Domain::kMaxFileSize) + 1), 0);
    Domain domain(path);
    domain.SetAppValue("k", Value(std::string("v")));
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_NE(domain.LastProblem().find("larger than 16 MB"), std::string::npos);
    // Something that is not a file at all; the second one of the same second gets its
    // own name instead of replacing the first.
    ASSERT_TRUE(::unlink(path.c_str()) == 0 && ::mkdir(path.c_str(), 0700) == 0);
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_NE(domain.LastProblem().find("not a regular file"), std::string::npos);
    writeFile(path, "garbage");
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_EQ(asideFiles(dir.path()).size(), 3u);
    EXPECT_FALSE(domain.CopyAppValue("k"));
}

TEST(PrefsStore, ConcurrentWritersKeepEachOthersKeys) {
    TempDir dir;
    const std::string path = dir.file("Library/Preferences/test.plist");
    constexpr int kRounds = 60;
    std::vector<pid_t> children;
    for (const char* prefix : {"A", "B"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Domain domain(path);
            bool ok = true;
            for (int i = 0; i < kRounds; ++i) {
                domain.SetAppValue(prefix + std::to_string(i), Value(std::string(prefix)));
                domain.SetAppValue(prefix, Value(std::to_string(i)));
                ok = domain.AppSynchronize() && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Domain domain(path);
    ASSERT_TRUE(domain.AppSynchronize());
    EXPECT_EQ(domain.Keys().size(), 2u * kRounds + 2);
    for (const std::string prefix : {"A", "B"}) {
        EXPECT_EQ(domain.CopyAppValue(prefix), Value(std::to_string(kRounds - 1)));
        for (int i = 0; i < kRounds; ++i) EXPECT_EQ(domain.CopyAppValue(prefix + std::to_string(i)), Value(prefix));
    }
    EXPECT_TRUE(asideFiles(dir.file("Library/Preferences")).empty());
}

} // namespace
