#include <gtest/gtest.h>

#include "testutil.h"
#include "texthelpers.h"

using namespace std::string_view_literals;

namespace {

Str html(std::string_view in) {
    Str s = ToStr(in);
    return HTMLText_decode(s);
}

Str unescape(std::string_view in) {
    Str s = ToStr(in);
    return EscapeText_decode(s);
}

} // namespace

TEST(TextHelpers, NullCharRplGuardsOnlyTheGivenBytes) {
    TempDir dir;
    debugLogSetPath(dir.file("trace.log"));
    debugReq = 1;
    char buf[] = {'a', '\0', 'b', '\0', '\0'};
    NullCharRpl(buf, 4);
    debugReq = 0;
    debugLogSetPath("");
    EXPECT_EQ(std::string_view(buf, 5), "a\x7f" "b\x7f\0"sv);
    std::vector<std::string> lines = splitLines(readFile(dir.file("trace.log")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("buffer null character replaced"), std::string::npos);
    NullCharRpl(nullptr, 0);
}

TEST(TextHelpers, UrlComponentsRoundTripEveryByte) {
    EXPECT_EQ(EncodeURLComponent("a b"), "a%20b");
    EXPECT_EQ(EncodeURLComponent("Az09-_.~"), "Az09%2d%5f%2e%7e");
    EXPECT_EQ(EncodeURLComponent("\xe9\xff\0"sv), "%e9%ff%00");
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    Str encoded = EncodeURLComponent(all);
    EXPECT_EQ(encoded.size(), 62 + 194 * 3u);
    // %00 is the one escape that is not turned back into its byte.
    EXPECT_EQ(View(DecodeURLComponent(View(encoded))), "%00" + all.substr(1));

    struct Case {
        std::string_view in, out;
    };
    const Case cases[] = {
        {"%2541", "%41"}, {"a%20b", "a b"}, {"%41%62", "Ab"}, {"%e9", "\xe9"},
        {"%", "%"},       {"x%", "x%"},     {"%4", "%4"},     {"x%4", "x%4"},
        {"%zz1", "%zz1"}, {"%4g", "%4g"},   {"%00", "%00"},   {"%%41", "%A"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(View(DecodeURLComponent(c.in)), c.out) << c.in;
}

TEST(TextHelpers, HtmlReferencesDecodeOnceAndOnlyWhenKnown) {
    struct Case {
        std::string_view in, out;
    };
    const Case cases[] = {
        {"AT&T;", "AT&T;"},
        {"&#65;&#x42;&LT;", "AB<"},
        {"&lt;b&gt; &QUOT;x&quot; &Amp;", "<b> \"x\" &"},
        {"&amp;lt;", "&lt;"},
        {"&&lt;", "&<"},
        {"a & b &lt;", "a & b <"},
        {"&#xe9;t&#233;", "\xe9t\xe9"},
        {"&#;&#x;&#0;&#x0;", "&#;&#x;&#0;&#x0;"},
        {"&#65a;&#x4g;&# 65;", "&#65a;&#x4g;&# 65;"},
        {"&#8217;&#256;&#x100;", "&#8217;&#256;&#x100;"},
        {"&#99999999999999999999999999;", "&#99999999999999999999999999;"},
        {"&#000000000065;", "A"},
        {"tail &", "tail &"},
        {"tail &#", "tail &#"},
        {"&lt", "&lt"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(View(html(c.in)), c.out) << c.in;
}

TEST(TextHelpers, BackslashEscapes) {
    struct Case {
        std::string_view in, out;
    };
    const Case cases[] = {
        {"a\\x41\\nb", "aA\nb"},
        {"\\r\\n", "\r\n"},
        {"\\\\\\\\", "\\\\"},
        {"\\\\n", "\\n"},
        {"\\\"q\\'\\/", "\"q'/"},
        {"\\x5cn", "\\n"},
        {"\\xE9", "\xe9"},
        {"\\u00e9", "u00e9"},
        {"end\\", "end\\"},
        {"\\x", "\\x"},
        {"\\x4", "\\x4"},
        {"\\xzz", "\\xzz"},
        {"\\x00", "\\x00"},
        {"\\R\\N\\X41", "RNX41"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(View(unescape(c.in)), c.out) << c.in;
    Str s = ToStr("x\\n");
    EXPECT_EQ(&EscapeText_decode(s), &s);
}

TEST(TextHelpers, KeywordValues) {
    std::string_view script = "var xg_QS = 'no'; g_QS  = \"a=1&b=2\";\nsrf = abc;def";
    EXPECT_EQ(getKwdVal("g_QS", "=", "", ";", script), "a=1&b=2");
    EXPECT_EQ(getKwdVal("srf", "=", "", ";", script), "abc");
    EXPECT_EQ(getKwdVal("G_qs", "=", "", ";", script), "a=1&b=2");
    // Only the listed preceding characters let an occurrence count.
    EXPECT_EQ(getKwdVal("g_QS", "=", "x", ";", script), "no");
    EXPECT_EQ(getKwdVal("missing", "=", "", ";", script), "");

    // The separator must follow after blanks only; otherwise the search goes on.
    EXPECT_EQ(getKwdVal("id", "=", "", ";", "id: 1; id = 2;"), "2");
    EXPECT_EQ(getKwdVal("id", "=", "", ";", "id"), "");
    EXPECT_EQ(getKwdVal("id", "=", "", ";", "id   "), "");
    EXPECT_EQ(getKwdVal("id", "=", "", ";", "id="), "");
    EXPECT_EQ(getKwdVal("id", "", "", ";", "id=1"), "");
    EXPECT_EQ(getKwdVal("", "=", "", ";", "a =1;"), "1");
    EXPECT_EQ(getKwdVal("value", "=", "", "", "<input name=\"t\" value=\"tok en\">"), "tok en");
    EXPECT_EQ(getKwdVal("value", "=", "", " >", "<input value=tok>"), "tok");
}

TEST(TextHelpers, ValuesEndAtQuoteOrTerminator) {
    struct Case {
        long pos;
        std::string_view terms, text, out;
    };
    const Case cases[] = {
        {1, ";", "  'a;b' rest", "a;b"},
        {1, ";", "\"x'y\"", "x'y"},
        {1, ";", "'open", "open"},
        {1, ";", "abc;def", "abc"},
        {1, ";", ";abc;def", ";abc"},
        {1, "", "abc def", "abc def"},
        {1, "x", "aXbxc", "a"},
        {1, ";", "    ", ""},
        {1, ";", "", ""},
        {3, ";", "a=b;", "b"},
        {5, ";", "a=b;", ""},
        {99, ";", "a=b;", ""},
        {0, ";", "ab;", "ab"},
        {-4, ";", "ab;", "ab"},
        {1, ";", "''", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(View(getVal(c.pos, c.terms, c.text)), c.out) << c.text << " @" << c.pos;
}
