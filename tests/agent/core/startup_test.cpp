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

TEST(AccountRecord, DamagedRecordsNeverCrashAndYieldAnEmptyOrPartialRow) {
    AccountRow empty = parseAccountRecord("");
    EXPECT_TRUE(empty.addr.empty());
    EXPECT_TRUE(empty.enable.empty()); // an empty address ends the list; no defaults
    EXPECT_TRUE(empty.type.empty());

    CaptureStderr();
    AccountRow bad = parseAccountRecord("!!!not base64***\tpop.example.com");
    AccountRow latin1 = parseAccountRecord(b64("caf\xe9@example.com:pw") + "\tpop.example.com\t");
    std::string log = GetCapturedStderr();
    EXPECT_TRUE(bad.addr.empty());
    EXPECT_TRUE(latin1.addr.empty());
    EXPECT_NE(log.find("is not valid UTF-8 text"), std::string::npos);

    AccountRow noAt = parseAccountRecord(b64("localuser:pw") + "\thost");
    EXPECT_EQ(noAt.user, "localuser");
    AccountRow accented = parseAccountRecord(b64("j\xc3\xb6rg@example.com:pw") + "\thost");
    EXPECT_EQ(accented.addr, "j?rg@example.com");
}

TEST(Preferences, ValuesOutsideTheLimitsOrOfTheWrongKindTakeTheDefault) {
    TempDir dir;
    prefs::Domain domain(dir.file("p.plist"));
    domain.SetAppValue("Exact", std::string(511, 'a'));
    domain.SetAppValue("TooLong", std::string(512, 'a'));
    domain.SetAppValue("Empty", std::string());
    domain.SetAppValue("List", std::vector<std::string>{"zero", "", "two"});
    ASSERT_TRUE(domain.AppSynchronize());
    CaptureStderr();
    EXPECT_EQ(getPrefsVal(domain, "Exact", 0, "d").size(), 511u);
    EXPECT_EQ(getPrefsVal(domain, "TooLong", 0, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "Empty", 0, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "Missing", 0, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "List", 0, "d"), "zero");
    EXPECT_EQ(getPrefsVal(domain, "List", 1, "d"), "d");
    EXPECT_EQ(getPrefsVal(domain, "List", 2, "d"), "two");
    EXPECT_EQ(getPrefsVal(domain, "List", 3, "d"), "d");
    std::string log = GetCapturedStderr();
    EXPECT_EQ(log, "Setting \"TooLong\" is longer than 511 characters and was ignored.\n");
}
