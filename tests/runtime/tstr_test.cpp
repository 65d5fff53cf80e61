#include <gtest/gtest.h>

#include "tstr.h"

TEST(Fields, SplitsExactlyAndCountsTrailingEmptyField) {
    EXPECT_EQ(NthField("a\tb\t", "\t", 2), "b");
    EXPECT_EQ(NthField("a\tb\t", "\t", 3), "");
    EXPECT_EQ(CountFields("a\tb\t", "\t"), 3);
    EXPECT_EQ(CountFields("", "\t"), 0);
    EXPECT_EQ(NthField("x", ":", 1), "x");
    EXPECT_EQ(NthField("x", ":", 2), "");
    EXPECT_EQ(NthField("x", ":", 0), "");
    // Field splitting is case-sensitive, unlike InStr.
    EXPECT_EQ(CountFields("aXbxc", "x"), 2);
    EXPECT_EQ(NthField("user:pa:ss", ":", 2), "pa");
}

TEST(Search, InStrIsOneBasedAndIgnoresCase) {
    EXPECT_EQ(InStr(0, "Hello", "LL"), 3);
    EXPECT_EQ(InStr(1, "Hello", "LL"), 3);
    EXPECT_EQ(InStr(4, "Hello", "l"), 4);
    EXPECT_EQ(InStr(5, "Hello", "l"), 0);
    EXPECT_EQ(InStr(7, "Hello", "l"), 0);
    EXPECT_EQ(InStr(1, "", "x"), 0);
    std::string_view abc = "abc";
    EXPECT_EQ(strstri(abc, ""), abc.data());
    EXPECT_EQ(strstri(abc, "BC"), abc.data() + 1);
    EXPECT_EQ(strstri(abc, "d"), nullptr);
    EXPECT_EQ(strcmpi("ABC", "abc"), 0);
    EXPECT_LT(strcmpi("ab", "abc"), 0);
    EXPECT_EQ(strncmpi("ABx", "aby", 2), 0);
    EXPECT_NE(strncmpi("ABx", "aby", 3), 0);
}

TEST(Substrings, LeftMidRightClampToTheText) {
    EXPECT_EQ(Mid("abc", 2, 5), "bc");
    EXPECT_EQ(Mid("abc", 9, 1), "");
    EXPECT_EQ(Mid("abc", 2), "bc");
    EXPECT_EQ(Mid("abc", 0, 2), "ab");
    EXPECT_EQ(Left("abc", 10), "abc");
    EXPECT_EQ(Left("abc", -1), "");
    EXPECT_EQ(Right("abc", 2), "bc");
    EXPECT_EQ(Right("abc", 7), "abc");
}

TEST(Editing, ReplaceAllNeverSearchesInsertedText) {
    Str s = ToStr("a\nb");
    EXPECT_EQ(ReplaceAll(s, "\n", "\n   "), "a\n   b");
    Str t = ToStr("xXx");
    EXPECT_EQ(ReplaceAll(t, "x", "xx"), "xxxxxx");
    Str u = ToStr("abc");
    EXPECT_EQ(ReplaceAll(u, "", "z"), "abc");
    Str r = ToStr("hello");
    EXPECT_EQ(ReplaceStr(r, 0, 2, "J"), "Jllo");
    EXPECT_EQ(ReplaceStr(r, 99, 5, "!"), "Jllo!");
    EXPECT_EQ(InsertStr(r, 2, "-"), "J-llo!");
}

TEST(Case, TitleLowerUpperAndTrim) {
    Str s = ToStr("hELLO wORLD");
    EXPECT_EQ(TitleCase(s), "Hello World");
    Str t = ToStr(" \t\r\n x y \v\f");
    EXPECT_EQ(Trim(t), "x y");
    Str b = ToStr("   ");
    EXPECT_EQ(Trim(b), "");
}

TEST(Booleans, LeadingIntegerDecides) {
    EXPECT_EQ(StrBool("-1"), 1);
    EXPECT_EQ(StrBool("1"), 1);
    EXPECT_EQ(StrBool(" 007x"), 1);
    EXPECT_EQ(StrBool("0"), 0);
    EXPECT_EQ(StrBool(""), 0);
    EXPECT_EQ(StrBool("abc"), 0);
    EXPECT_EQ(StrBool("-0"), 0);
    EXPECT_EQ(BoolStr(5), "-1");
    EXPECT_EQ(BoolStr(0), "0");
}

TEST(Arrays, UBoundAndRemove) {
    StrArray a;
    EXPECT_EQ(UBound(a), -1);
    ArrayAppend(a, "one");
    ArrayRemove(a, 0);
    EXPECT_EQ(UBound(a), -1);
    ArrayAppend(a, "a");
    ArrayAppend(a, "b");
    ArrayReplace(a, "c", 1);
    ArrayRemove(a, 5);
    EXPECT_EQ(a.back(), "c");
}
