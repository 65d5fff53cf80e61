#include <gtest/gtest.h>

#include "qp.h"

using namespace std::string_view_literals;

TEST(QuotedPrintable, EncodesBytesThatCannotTravelAsThemselves) {
    struct Case {
        std::string_view in, out;
    };
    const Case cases[] = {
        {"a=b", "a=3Db"},
        {"a \r\nb", "a=20\r\nb"},
        {"a b", "a b"},
        {"a\tb", "a=09b"},
        {"a\nb", "a=0Ab"},
        {"a\rb", "a=0Db"},
        {"caf\xe9", "caf=E9"},
        {"\x7f\x01", "=7F=01"},
        {"\0"sv, "=00"},
        {"line\r\n\r\nnext", "line\r\n\r\nnext"},
        // A CR that ends the data has no LF to pair with.
        {"end\r", "end=0D"},
        {"end \r", "end=20=0D"},
        // A trailing blank would end the last line; transports may strip it.
        {"end ", "end=20"},
        {"", ""},
    };
    for (const Case& c : cases) {
        long n = -1;
        Str got = rfc822_8bit(c.in, &n);
        EXPECT_EQ(View(got), c.out) << c.in;
        EXPECT_EQ(n, static_cast<long>(c.out.size())) << c.in;
        EXPECT_EQ(EncodeQuotedPrintable(c.in), got);
    }
}

TEST(QuotedPrintable, SoftBreaksKeepLinesAt75) {
    Str plain = EncodeQuotedPrintable(std::string(100, 'a'));
    EXPECT_EQ(View(plain), std::string(75, 'a') + "=\r\n" + std::string(25, 'a'));
    EXPECT_EQ(View(EncodeQuotedPrintable(std::string(75, 'a'))), std::string(75, 'a'));

    // An encoded triple is never split: 25 fit on a line (75 columns), the 26th moves.
    std::string high(26, '\xff');
    Str encoded = EncodeQuotedPrintable(high);
    std::string expected;
    for (int i = 0; i < 25; ++i) expected += "=FF";
    expected += "=\r\n=FF";
    EXPECT_EQ(View(encoded), expected);

    // A hard line break restarts the count.
    std::string twoLines = std::string(70, 'b') + "\r\n" + std::string(70, 'c');
    EXPECT_EQ(View(EncodeQuotedPrintable(twoLines)), twoLines);

    std::string mixed;
    for (int i = 0; i < 5000; ++i) mixed.push_back(static_cast<char>((i * 37) & 0xff));
    Str out = EncodeQuotedPrintable(mixed);
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find("\r\n", start);
        if (end == Str::npos) end = out.size();
        size_t len = end - start;
        bool soft = len > 0 && out[end - 1] == '=' && end != out.size();
        EXPECT_LE(len - (soft ? 1 : 0), 75u);
        start = end + 2;
    }
}
