#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base64_codec.h"
#include "prefs.h"
#include "testutil.h"

namespace {

using Strings = std::vector<std::string>;

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs the built tool with HOME pointing at home and input on its standard input.
Result runTool(const TempDir& home, const Strings& args, const std::string& input = "") {
    static const std::string tool = TARNWELL_BIN_DIR "/tarnwell-settings";
    const std::string inPath = home.file("tool.in");
    const std::string outPath = home.file("tool.out");
    const std::string errPath = home.file("tool.err");
    writeFile(inPath, input);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("HOME", home.path().c_str(), 1);
        const int in = ::open(inPath.c_str(), O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
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
    return base64::Encode(text);
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
                             "--secure", "1", "--enable", "0", "--type", "pop"})
                  .status,
              0);
    // The password from standard input keeps it out of the process table.
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "bo@example.com", "--password", "-", "--server", "mail"},
                      "from stdin\n")
                  .status,
              0);
    Strings records = accountsIn(home);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(fieldsOf(records[0]), (Strings{b64("ann@example.com:pa ss"), "pop.example.com:995", "fw@example.org", "",
                                             b64("ann"), "1", "1", "0", "POP", ""}));
    // Defaults: forwarding to the default address, delete after forwarding, no TLS,
    // enabled, the type chosen from the address.
    EXPECT_EQ(fieldsOf(records[1]),
              (Strings{b64("bo@example.com:from stdin"), "mail", "(default)", "", "", "0", "0", "1", "POP", ""}));

    // set changes only the options given.
    ASSERT_EQ(runTool(home, {"account", "set", "1", "--password", "new", "--secure", "0"}).status, 0);
    records = accountsIn(home);
    EXPECT_EQ(fieldsOf(records[0]), (Strings{b64("ann@example.com:new"), "pop.example.com:995", "fw@example.org", "",
                                             b64("ann"), "1", "0", "0", "POP", ""}));

    // A record without a type is listed with the type the agent derives from its server.
    ASSERT_EQ(runTool(home, {"write", "Account", "--array", records[0], records[1],
                             b64("cy@example.com:pw") + "\tYahoo.com\t(default)\t\t\t0\t0\t1\t\t"})
                  .status,
              0);
    const Result list = runTool(home, {"account", "list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(splitLines(list.out),
              (Strings{"1: address=ann@example.com type=POP password=******** server=pop.example.com:995 "
                       "forward=fw@example.org login=ann leave=1 secure=0 enable=0",
                       "2: address=bo@example.com type=POP password=******** server=mail forward=(default) login= "
                       "leave=0 secure=0 enable=1",
                       "3: address=cy@example.com type=Yahoo password=******** server=Yahoo.com forward=(default) "
                       "login= leave=0 secure=0 enable=1"}));

    ASSERT_EQ(runTool(home, {"account", "delete", "1"}).status, 0);
    records = accountsIn(home);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(fieldsOf(records[0])[0], b64("bo@example.com:from stdin"));

    EXPECT_EQ(runTool(home, {"smtp-login", "bob", "-"}, "pw from stdin\r\n").status, 0);
    EXPECT_EQ(stored(home, "SMTPLogin"), prefs::Value(b64("bob:pw from stdin")));
}

TEST(SettingsTool, TypeAndServerFollowTheAddressAsInThePreferencesWindow) {
    TempDir home;
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"a@AOL.com", "AOL", "imap.aol.com"},        {"b@gmail.com", "Gmail", "pop.gmail.com"},
        {"c@hotmail.co.uk", "Hotmail", "hotmail.com"}, {"d@live.com", "Hotmail", "hotmail.com"},
        {"e@msn.com", "MSN", "msn.com"},             {"f@netscape.net", "Netscape", "netscape.net"},
        {"g@yahoo.fr", "Yahoo", "yahoo.com"},        {"h@ymail.com", "Yahoo", "yahoo.com"},
        {"i@rocketmail.com", "Yahoo", "yahoo.com"},  {"j@gmail.com.example.org", "POP", "pop.example.org"},
    };
    for (const auto& [address, type, server] : cases) {
        SCOPED_TRACE(address);
        Strings args = {"account", "add", "--address", address, "--password", "pw"};
        if (type == "POP") args.insert(args.end(), {"--server", server});
        const Result r = runTool(home, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const Strings fields = fieldsOf(accountsIn(home).back());
        EXPECT_EQ(fields[1], server);
        EXPECT_EQ(fields[8], type);
    }
    // An explicit type wins; a preset type replaces the server.
    ASSERT_EQ(runTool(home, {"account", "set", "2", "--type", "imap", "--server", "imap.example.org"}).status, 0);
    EXPECT_EQ(fieldsOf(accountsIn(home)[1])[8], "IMAP");
    ASSERT_EQ(runTool(home, {"account", "set", "10", "--type", "yahoo"}).status, 0);
    EXPECT_EQ(fieldsOf(accountsIn(home)[9])[1], "yahoo.com");

    // A stored record without a type keeps the type the agent gives it (from its
    // server), not one guessed from its address.
    TempDir other;
    ASSERT_EQ(runTool(other, {"write", "Account", "--array", b64("me@gmail.com:pw") + "\tmail.example.com\t\t\t\t0\t0\t1\t\t"})
                  .status,
              0);
    ASSERT_EQ(runTool(other, {"account", "set", "1", "--leave", "1"}).status, 0);
    const Strings fields = fieldsOf(accountsIn(other)[0]);
    EXPECT_EQ(fields[1], "mail.example.com");
    EXPECT_EQ(fields[8], "POP");
}

TEST(SettingsTool, RefusesWhatTheAgentCouldNotReadBackOrWouldPassOver) {
    TempDir home;
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "a@example.com", "--password", "pw", "--server", "s"}).status, 0);
    ASSERT_EQ(runTool(home, {"account", "add", "--address", "b@example.com", "--password", "pw", "--server", "s"}).status, 0);
    const Strings before = accountsIn(home);
    const Strings add = {"account", "add", "--address", "c@example.com", "--password", "pw", "--server", "s"};
    const auto adding = [&](const Strings& more) {
        Strings args = add;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::vector<std::pair<Strings, std::string>> refused = {
        {adding({"--server", "pop\t1"}), "tab or line break"},
        {adding({"--forward", "x\r\nRCPT TO:<y>"}), "tab or line break"},
        {adding({"--forward", "caf\xc3\xa9@example.org"}), "must be ASCII"},
        {adding({"--login", "j\xc3\xb6rg"}), "must be ASCII"},
        {adding({"--password", "a:b"}), "must not contain ':'"},
        {adding({"--password", ""}), "password must not be empty"},
        {adding({"--address", "A@Example.COM"}), "account 1 already has the address"},
        {adding({"--address", "nobody"}), "in the form"},
        {adding({"--server", ""}), "POP accounts need a mail server"},
        {adding({"--type", "IMAP", "--server", ""}), "IMAP accounts need a mail server"},
        {adding({"--type", "Gmail"}), "use the server pop.gmail.com"},
        {adding({"--type", "Exchange"}), "no account type Exchange"},
        {adding({"--server", std::string(480, 's')}), "at most 511"},
        {adding({"--leave", "yes"}), "takes 0 or 1"},
        {{"account", "set", "2", "--address", "a@EXAMPLE.com"}, "account 1 already has the address"},
        {{"account", "set", "3", "--leave", "1"}, "no account 3"},
        {{"account", "delete", "x"}, "no account x"},
        {{"write", "SMTPHost", std::string(512, 'h')}, "at most 511"},
        {{"write", "SMTPHost", "h\nx"}, "line break"},
        {{"write", "SMTPHost", "--array", "h"}, "one value, not a list"},
        {{"write", "dftFwd", "jos\xc3\xa9@example.org"}, "must be ASCII"},
        {{"write", "Account", before[0]}, "Account is a list"},
        {{"write", "Account", "--array", before[0], before[0]}, "account 1 already has the address"},
        {{"write", "SMTPLogin", "bob:pw"}, "'smtp-login'"},
        {{"smtp-login", "bob", "p:w"}, "must not contain ':'"},
        {{"smtp-login", "bob", "p\xc3\xa4ss"}, "must be ASCII"},
        {{"smtp-from", "a@b\r\n"}, "tab or line break"},
    };
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Result result = runTool(home, args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
    EXPECT_EQ(accountsIn(home), before);
    for (const char* key : {"SMTPHost", "SMTPLogin", "dftFwd"}) EXPECT_FALSE(stored(home, key)) << key;

    for (int i = 3; i <= 20; ++i) {
        ASSERT_EQ(runTool(home, {"account", "add", "--address", std::to_string(i) + "@example.com", "--password", "pw",
                                 "--server", "s"})
                      .status,
                  0);
    }
    const Result full = runTool(home, {"account", "add", "--address", "21@example.com", "--password", "pw", "--server", "s"});
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("already 20 accounts"), std::string::npos);
    Strings tooMany = {"write", "Account", "--array"};
    for (int i = 0; i < 21; ++i) tooMany.push_back("r");
    EXPECT_EQ(runTool(home, tooMany).status, 1);
}

TEST(SettingsTool, UsageErrorsExitWithTwoAndAOneLineHint) {
    TempDir home;
    for (const Strings& args : std::vector<Strings>{{},
                                                    {"frobnicate"},
                                                    {"read", "a", "b"},
                                                    {"write", "k"},
                                                    {"account"},
                                                    {"account", "add", "--colour", "red"},
                                                    {"account", "set", "1", "--leave"},
                                                    {"account", "add", "--address", "a@example.com"},
                                                    {"account", "add", "--password", "pw", "--server", "s"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Result result = runTool(home, args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(splitLines(result.err).size(), 1u) << result.err;
        EXPECT_NE(result.err.find("'tarnwell-settings --help' shows the usage"), std::string::npos) << result.err;
    }
    EXPECT_FALSE(stored(home, "Account"));
    const Result help = runTool(home, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("process table"), std::string::npos);
}

} // namespace
