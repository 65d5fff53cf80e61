#include <gtest/gtest.h>

#include "utf8.h"

using namespace std::string_view_literals;

namespace {

// Decodes text in full; the code points, or {-1} at the first error.
std::vector<long> decodeAll(std::string_view text) {
    std::vector<long> out;
    while (!text.empty()) {
        std::string_view before = text;
        long cp = utf8_get(text);
        if (cp < 0) {
            EXPECT_EQ(text.data(), before.data()) << "cursor moved on an error";
            return {-1};
        }
        out.push_back(cp);
    }
    return out;
}

} // namespace

TEST(Utf8Decode, AcceptsWellFormedSequences) {
    EXPECT_EQ(decodeAll("A"), std::vector<long>{0x41});
    EXPECT_EQ(decodeAll("\0"sv), std::vector<long>{0});
    EXPECT_EQ(decodeAll("\xc2\x80\xdf\xbf"), (std::vector<long>{0x80, 0x7ff}));
    EXPECT_EQ(decodeAll("\xe0\xa0\x80\xef\xbf\xbf"), (std::vector<long>{0x800, 0xffff}));
    EXPECT_EQ(decodeAll("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"), (std::vector<long>{0x10000, 0x10ffff}));
    EXPECT_EQ(decodeAll("\xed\x9f\xbf\xee\x80\x80"), (std::vector<long>{0xd7ff, 0xe000}));
}

TEST(Utf8Decode, RefusesMalformedInputWithoutMoving) {
    const std::string_view bad[] = {
        "\x80",                     // continuation without a lead
        "\xc0\x80", "\xc1\xbf",     // overlong two-byte leads
        "\xe0\x9f\xbf",             // overlong three-byte
        "\xf0\x8f\xbf\xbf",         // overlong four-byte
        "\xf8\x87\xbf\xbf\xbf",     // overlong five-byte
        "\xfc\x83\xbf\xbf\xbf\xbf", // overlong six-byte
        "\xf8\x88\x80\x80\x80",     // five-byte, above U+10FFFF
        "\xfd\xbf\xbf\xbf\xbf\xbf", // six-byte, top of 31 bits
        "\xf4\x90\x80\x80",         // above U+10FFFF
        "\xed\xa0\x80", "\xed\xbf\xbf", // surrogates
        "\xfe", "\xff",
        "\xe9", "caf\xe9", "\xe2\x82", "\xf0\x9f\x98", // text ends inside a sequence
        "\xc3(", "\xe2\x28\xa1",   // lead without enough continuations
    };
    for (std::string_view b : bad) EXPECT_EQ(decodeAll(b), std::vector<long>{-1}) << testing::PrintToString(b);
    std::string_view empty;
    EXPECT_EQ(utf8_get(empty), -1);
}

TEST(Utf8Charset, TableAndReverseMaps) {
    ASSERT_NE(utf8_charset("us-ascii"), nullptr);
    EXPECT_STREQ(utf8_charset("us-ascii")->name, "US-ASCII");
    EXPECT_EQ(utf8_charset("Iso-8859-1"), &utf8_csvalid[1]);
    for (std::string_view unknown : {"", "UTF-8", "ISO-2022-JP", "us-ascii ", "windows-1252"})
        EXPECT_EQ(utf8_charset(unknown), nullptr) << unknown;
    EXPECT_EQ(utf8_charset(std::string(128, 'a')), nullptr);

    Utf8RevMap ascii;
    utf8_rmap_gen(utf8_csvalid[0], ascii);
    EXPECT_EQ(ascii[0], 0);
    EXPECT_EQ(ascii[0x7f], 0x7f);
    EXPECT_EQ(ascii[0x80], kUtf8NoMapping);
    EXPECT_EQ(ascii[0xa0], 0x20);
    EXPECT_EQ(ascii[0xe9], kUtf8NoMapping);
    EXPECT_EQ(ascii[0xffff], kUtf8NoMapping);
    Utf8RevMap latin1;
    utf8_rmap_gen(utf8_csvalid[1], latin1);
    EXPECT_EQ(latin1[0xa0], 0xa0);
    EXPECT_EQ(latin1[0xff], 0xff);
    EXPECT_EQ(latin1[0x100], kUtf8NoMapping);
    EXPECT_EQ(latin1[0x20ac], kUtf8NoMapping);

    // One buffer, reused for the same charset and rebuilt in place for another.
    const Utf8RevMap* first = utf8_rmap("US-ASCII");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(utf8_rmap("us-ascii"), first);
    EXPECT_EQ((*first)[0xe9], kUtf8NoMapping);
    EXPECT_EQ(utf8_rmap("iso-8859-1"), first);
    EXPECT_EQ((*first)[0xe9], 0xe9);
    EXPECT_EQ(utf8_rmap("utf-8"), nullptr);
    EXPECT_EQ((*first)[0xe9], 0xe9) << "an unknown charset must not spoil the kept map";
    EXPECT_EQ(utf8_rmap("us-ascii"), first);
    EXPECT_EQ((*first)[0xe9], kUtf8NoMapping);
}

TEST(Utf8Charset, ConvertsOrFailsAsAWhole) {
    struct Case {
        std::string_view text, charset;
        std::optional<std::string_view> out;
    };
    const Case cases[] = {
        {"caf\xc3\xa9", "us-ascii", "caf?"},
        {"caf\xc3\xa9", "iso-8859-1", "caf\xe9"},
        {"a\xc2\xa0" "b", "us-ascii", "a b"},
        {"a\xc2\xa0" "b", "ISO-8859-1", "a\xa0" "b"},
        {"\xe2\x82\xac 5", "iso-8859-1", "? 5"},
        {"\xef\xbb\xbfhi", "us-ascii", "hi"},
        {"h\xef\xbb\xbfi", "us-ascii", "hi"},
        {"", "us-ascii", ""},
        {"nul\0byte"sv, "us-ascii", "nul\0byte"sv},
        {"smile \xf0\x9f\x98\x80", "us-ascii", std::nullopt},
        {"caf\xe9", "iso-8859-1", std::nullopt},
        {"\xc3", "us-ascii", std::nullopt},
        {"plain", "utf-8", std::nullopt},
        {"plain", "ISO-2022-JP", std::nullopt},
        {"plain", "", std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<Str> got = Convert_UTF8_To_Charset(c.text, c.charset);
        ASSERT_EQ(got.has_value(), c.out.has_value()) << c.text << " -> " << c.charset;
        if (got) {
            EXPECT_EQ(View(*got), *c.out) << c.text << " -> " << c.charset;
        }
    }

    Str kept = ToStr("unchanged");
    EXPECT_EQ(utf8_cstext("\xff", "us-ascii", kept, '?'), -1);
    EXPECT_EQ(kept, "unchanged");
    EXPECT_EQ(utf8_cstext("\xc3\xa9t\xc3\xa9", "us-ascii", kept, '_'), 0);
    EXPECT_EQ(kept, "_t_");
}

TEST(Utf8Charset, WideMapEntriesTakeTwoBytes) {
    // No table charset has codes above 255, but the map format allows them.
    Utf8RevMap map;
    map.fill(kUtf8NoMapping);
    map['a'] = 'a';
    map[0x3042] = 0x82a0;
    std::string_view text = "a\xe3\x81\x82z";
    EXPECT_EQ(utf8_rmapsize(text, map), 4);
    Str out;
    utf8_rmaptext(text, map, '?', out);
    EXPECT_EQ(View(out), "a\x82\xa0?"sv);
    EXPECT_EQ(utf8_rmapsize("\xed\xa0\x80", map), -1);
}
