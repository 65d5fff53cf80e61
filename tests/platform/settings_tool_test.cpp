#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base64.h"
#include "prefs.h"
#include "testutil.h"

namespace {

using Strings = std::vector<std::string>;

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs the built tool with HOME pointing at home.
Result runTool(const TempDir& home, const Strings& args) {
    static const std::string tool = TARNWELL_BIN_DIR "/tarnwell-settings";
    const std::string outPath = home.file("tool.out");
    const std::string errPath = home.file("tool.err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("HOME", home.path().c_str(), 1);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(tool.c_str(), argv.data());
        ::_exit(127);
    }
    Result result;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::optional<prefs::Value> stored(const TempDir& home, const std::string& key) {
    prefs::Domain domain(home.path() + "/Library/Preferences/com.vexlo.Tarnwell.plist");
    EXPECT_TRUE(domain.AppSynchronize());
    return domain.CopyAppValue(key);
}

Strings accountsIn(const TempDir& home) {
    const auto value = stored(home, "Account");
    return value ? std::get<Strings>(*value) : Strings{};
}

std::string b64(std::string_view text) {
    const Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

Strings fieldsOf(const std::string& record) {
    Strings fields;
    std::size_t start = 0;
    for (auto tab = record.find('\t'); tab != std::string::npos; tab = record.find('\t', start)) {
        fields.push_back(record.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(record.substr(start));
    return fields;
}

TEST(SettingsTool, WritesReadsAndDeletesValues) {
    TempDir home;
    EXPECT_EQ(runTool(home, {"write", "SMTPHost", "smtp.example.com:465"}).status, 0);
    EXPECT_EQ(runTool(home, {"write", "Hosts", "--array", "a\tb", "", "c \"d\""}).status, 0);
    EXPECT_EQ(runTool(home, {"write", "None", "--array"}).status, 0);
    EXPECT_EQ(stored(home, "SMTPHost"), prefs::Value(std::string("smtp.example.com:465")));
    EXPECT_EQ(stored(home, "Hosts"), prefs::Value(Strings{"a\tb", "", "c \"d\""}));

    const Result one = runTool(home, {"read", "SMTPHost"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, "smtp.example.com:465\n");
    const Result all = runTool(home, {"read"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "Hosts = (\n    \"a\\tb\",\n    \"\",\n    \"c \\\"d\\\"\"\n)\nNone = (\n)\n"
                       "SMTPHost = \"smtp.example.com:465\"\n");

    EXPECT_EQ(runTool(home, {"delete", "SMTPHost"}).status, 0);
    const Result missing = runTool(home, {"read", "SMTPHost"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no value for SMTPHost"), std::string::npos);

    // Credentials and sender are stored as Base64, as the agent decodes them.
    EXPECT_EQ(runTool(home, {"smtp-login", "bob", "s3cret pw"}).status, 0);
    EXPECT_EQ(stored(home, "SMTPLogin"), prefs::Value(b64("bob:s3cret pw")));
    EXPECT_EQ(runTool(home, {"smtp-login", "", ""}).status, 0);
    EXPECT_EQ(stored(home, "SMTPLogin"), prefs::Value(std::string()));
    EXPECT_EQ(runTool(home, {"smtp-from", "Bob <bob@example.com>"}).status, 0);
    EXPECT_EQ(stored(home, "SMTPFrom"), prefs::Value(b64("Bob <bob@example.com>")));

    // A damaged file is reported and kept aside, and the command still works.
    writeFile(home.file("Library/Preferences/com.vexlo.Tarnwell.plist"), "damaged");
    const Result repaired = runTool(home, {"write", "dftFwd", "me@example.com"});
    EXPECT_EQ(repaired.status, 0);
    EXPECT_NE(repaired.err.find("moved to"), std::string::npos);
    EXPECT_EQ(stored(home, "dftFwd"), prefs::Value(std::string("me@example.com")));
}

TEST(SettingsTool, AccountRecordsHoldTheNineFields) {
    TempDir home;
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "ann@example.com", "--password", "pa ss", "--server",
                             "pop.example.com:995", "--forward", "fw@example.org", "--login", "ann", "--leave", "1",
                             "--secure", "1", "--enable", "0", "--type", "POP"})
                  .status,
              0);
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "bo@example.com"}).status, 0);
    Strings records = accountsIn(home);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(fieldsOf(records[0]), (Strings{b64("ann@example.com:pa ss"), "pop.example.com:995", "fw@example.org", "",
                                             b64("ann"), "1", "1", "0", "POP", ""}));
    // Defaults: forwarding to the default address, delete after forwarding, no TLS,
    // enabled, type left to the agent's detection.
    EXPECT_EQ(fieldsOf(records[1]),
              (Strings{b64("bo@example.com:"), "", "(default)", "", "", "0", "0", "1", "", ""}));

    // set changes only the options given.
    ASSERT_EQ(runTool(home, {"account", "set", "1", "--password", "new", "--secure", "0"}).status, 0);
    records = accountsIn(home);
    EXPECT_EQ(fieldsOf(records[0]), (Strings{b64("ann@example.com:new"), "pop.example.com:995", "fw@example.org", "",
                                             b64("ann"), "1", "0", "0", "POP", ""}));

    const Result list = runTool(home, {"account", "list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(splitLines(list.out),
              (Strings{"1: address=ann@example.com password=******** server=pop.example.com:995 forward=fw@example.org "
                       "login=ann leave=1 secure=0 enable=0 type=POP",
                       "2: address=bo@example.com password= server= forward=(default) login= leave=0 secure=0 "
                       "enable=1 type="}));

    ASSERT_EQ(runTool(home, {"account", "delete", "1"}).status, 0);
    records = accountsIn(home);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(fieldsOf(records[0])[0], b64("bo@example.com:"));
}

TEST(SettingsTool, RefusesWhatTheAgentCouldNotReadBack) {
    TempDir home;
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "a@example.com"}).status, 0);
    const Strings before = accountsIn(home);
    const std::vector<std::pair<Strings, std::string>> refused = {
        {{"account", "add", "--address", "b@example.com", "--server", "pop\t1"}, "tab or line break"},
        {{"account", "add", "--address", "b@example.com", "--forward", "x\r\nRCPT TO:<y>"}, "tab or line break"},
        {{"account", "add", "--address", "b@example.com", "--password", "a:b"}, "must not contain ':'"},
        {{"account", "add", "--password", "pw"}, "needs an address"},
        {{"account", "add", "--address", "b@example.com", "--server", std::string(480, 's')}, "at most 511"},
        {{"account", "add", "--address", "b@example.com", "--leave", "yes"}, "takes 0 or 1"},
        {{"account", "set", "2", "--leave", "1"}, "no account 2"},
        {{"account", "delete", "x"}, "no account x"},
        {{"write", "SMTPHost", std::string(512, 'h')}, "at most 511"},
        {{"write", "SMTPHost", "h\nx"}, "line break"},
        {{"smtp-login", "bob", "p:w"}, "must not contain ':'"},
        {{"smtp-from", "a@b\r\n"}, "tab or line break"},
    };
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(args[1] + " " + args.back());
        const Result result = runTool(home, args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
    EXPECT_EQ(accountsIn(home), before);
    EXPECT_FALSE(stored(home, "SMTPHost"));
    EXPECT_FALSE(stored(home, "SMTPLogin"));

    for (int i = 2; i <= 20; ++i) {
        ASSERT_EQ(runTool(home, {"account", "add", "--address", std::to_string(i) + "@example.com"}).status, 0);
    }
    const Result full = runTool(home, {"account", "add", "--address", "21@example.com"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("already 20 accounts"), std::string::npos);
    EXPECT_EQ(runTool(home, {"write", "Account", "--array"}).status, 0);
    Strings tooMany;
    for (int i = 0; i < 21; ++i) tooMany.push_back("r");
    tooMany.insert(tooMany.begin(), {"write", "Account", "--array"});
    EXPECT_EQ(runTool(home, tooMany).status, 1);

    for (const Strings& args : std::vector<Strings>{{}, {"frobnicate"}, {"read", "a", "b"}, {"write", "k"},
                                                      {"account", "add", "--colour", "red"}, {"account", "set", "1", "--leave"},
                                                      {"account"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Result result = runTool(home, args);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find("usage: tarnwell-settings"), std::string::npos);
    }
}

} // namespace
