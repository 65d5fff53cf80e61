#include <gtest/gtest.h>

#include "base64.h"
#include "startup.h"
#include "testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string b64(const std::string& text) {
    Str s = Base64_Encode(text);
    return std::string(s.data(), s.size());
}

} // namespace

TEST(AccountRecord, FieldsAndDefaults) {
    globals.dftFwd = ToStr("default@example.net");
    AccountRow a = parseAccountRecord(b64("ann@example.com:se:cret") + "\tpop.example.com:995\t\t\t\t0\t1\t1\tPOP\t");
    EXPECT_EQ(a.addr, "ann@example.com");
    EXPECT_EQ(a.pass, "se"); // a password holding ":" is cut there
    EXPECT_EQ(a.user, "ann");
    EXPECT_EQ(a.pop, "pop.example.com:995");
    EXPECT_EQ(a.fwd, "default@example.net");
    EXPECT_EQ(StrBool(View(a.leave)), 0);
    EXPECT_EQ(StrBool(View(a.secure)), 1);
    EXPECT_EQ(StrBool(View(a.enable)), 1);
    EXPECT_EQ(a.type, "POP");

    AccountRow y = parseAccountRecord(b64("bob@example.com:pw") + "\tYAHOO.COM\t(default)\t\t" + b64("bobby") + "\t1\t0\t\t\t");
    EXPECT_EQ(y.type, "Yahoo");
    EXPECT_EQ(y.enable, "-1");
    EXPECT_EQ(y.user, "bobby");
    EXPECT_EQ(y.fwd, "default@example.net");

    AccountRow other = parseAccountRecord(b64("c@example.com:pw") + "\tmail.example.com\tx@example.org\t\t\t\t\t0\t\t");
    EXPECT_EQ(other.type, "POP");
    EXPECT_EQ(other.enable, "0");
    EXPECT_EQ(other.fwd, "x@example.org");
    globals.dftFwd.clear();
}

TEST(AccountRecord, OnlyAnEmptyStoredAddressEndsTheListAndOtherFaultsAreNamed) {
    struct Case {
        std::string record;
        std::string addr, problem; // problem empty: runnable, or the end of the list when addr is empty too
    };
    const std::string tail = "\tpop.example.com\t\t\t\t1\t0\t\tPOP\t"; // enable field empty
    const std::vector<Case> cases = {
        {"", "", ""},
        {"\tpop.example.com\tcaf\xc3\xa9@example.org\t", "", ""}, // nothing stored in field 1
        {b64("ann@example.com:pw") + tail, "ann@example.com", ""},
        {b64("ann@example.com:pw") + "\tpop.example.com\tcaf\xc3\xa9@example.org\t", "ann@example.com",
         "its record holds characters other than ASCII"},
        {b64("ann@example.com:pw") + tail + std::string(512, 'x'), "ann@example.com",
         "its record is longer than 511 characters"},
        {b64("caf\xe9@example.com:pw") + tail, "", "its address and password are not valid UTF-8 text"},
        {b64(":pw") + tail, "", ""}, // an empty address as the preferences window stores it
        {"!!!not base64***" + tail, "", ""},
        {b64("ann@example.com:pw") + "\thost\t\t\t" + b64("\xff") + "\t", "ann@example.com",
         "its login name is not valid UTF-8 text"},
        {b64("j\xc3\xb6rg@example.com:pw") + tail, "j?rg@example.com", ""}, // UTF-8 is converted, not refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        AccountRow row = parseAccountRecord(c.record);
        EXPECT_EQ(View(row.addr), c.addr);
        EXPECT_EQ(View(row.problem), c.problem);
        // Every row that is not the end of the list is enabled by default, so a faulty
        // one is reported rather than silently passed over.
        EXPECT_EQ(row.enable.empty(), c.addr.empty() && c.problem.empty());
    }
    EXPECT_EQ(parseAccountRecord(b64("localuser:pw") + "\thost").user, "localuser");
}

TEST(Preferences, ValuesOutsideTheLimitsOrOfTheWrongKindTakeTheDefault) {
    TempDir dir;
    prefs::Domain domain(dir.file("p.plist"));
    domain.SetAppValue("Exact", std::string(511, 'a'));
    domain.SetAppValue("TooLong", std::string(512, 'a'));
    domain.SetAppValue("Empty", std::string());
    domain.SetAppValue("List", std::vector<std::string>{"zero", "", "two"});
    ASSERT_TRUE(domain.AppSynchronize());
    domain.SetAppValue("Accented", std::vector<std::string>{"caf\xc3\xa9"});
    ASSERT_TRUE(domain.AppSynchronize());
    CaptureStderr();
    EXPECT_EQ(getPrefsVal(domain, "Exact", kOneValue, "d").size(), 511u);
    EXPECT_EQ(getPrefsVal(domain, "TooLong", kOneValue, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "Empty", kOneValue, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "Missing", kOneValue, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "List", kOneValue, "d"), "d"); // a list where one value belongs
    EXPECT_EQ(getPrefsVal(domain, "List", 0, "d"), "zero");
    EXPECT_EQ(getPrefsVal(domain, "List", 1, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "List", 2, "d"), "two");
    EXPECT_EQ(getPrefsVal(domain, "List", 3, "d"), "d");
    // A plain string where a list belongs is its first element only.
    EXPECT_EQ(getPrefsVal(domain, "Exact", 0, "d").size(), 511u);
    EXPECT_EQ(getPrefsVal(domain, "Exact", 1, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "Accented", 0, "d"), "d");
    std::string log = GetCapturedStderr();
    EXPECT_EQ(log, "Setting \"TooLong\" is longer than 511 characters and was ignored.\n"
                   "Setting \"List\" is a list where one value belongs and was ignored.\n"
                   "Setting \"Accented[0]\" holds characters other than ASCII and was ignored.\n");
}

TEST(Preferences, ServiceAddressesComeFromHiddenSettingsWithoutLineBreaks) {
    TempDir dir;
    prefs::Domain domain(dir.file("p.plist"));
    domain.SetAppValue("HotmailStartURL", std::string("http://127.0.0.1:8080/\r\nX-Injected: 1"));
    domain.SetAppValue("HotmailLoginHost", std::string("localhost:8443"));
    ASSERT_TRUE(domain.AppSynchronize());
    CaptureStderr();
    readSettings(domain);
    EXPECT_EQ(GetCapturedStderr(), "Setting \"HotmailStartURL\" holds a line break and was ignored.\n");
    EXPECT_EQ(globals.hotmailStartUrl, "http://mail.live.com/");
    EXPECT_EQ(globals.hotmailLoginHost, "localhost:8443");
    releaseSettings();
}
