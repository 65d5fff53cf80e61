#include <gtest/gtest.h>

#include "base64.h"

using namespace std::string_view_literals;

TEST(Base64, EncodesOnOneLine) {
    EXPECT_EQ(Base64_Encode("abc"), "YWJj");
    EXPECT_EQ(Base64_Encode(""), "");
    EXPECT_EQ(Base64_Encode("ab"), "YWI=");
    EXPECT_EQ(Base64_Encode("a"), "YQ==");
    EXPECT_EQ(Base64_Encode("\0\xff\xfe"sv), "AP/+");
    // Long enough that a line-breaking encoder would have broken it (64 and 76 columns).
    Str hundred = Base64_Encode(std::string(100, 'x'));
    EXPECT_EQ(hundred.size(), 136u);
    EXPECT_EQ(hundred.find_first_of("\r\n"), Str::npos);
    EXPECT_EQ(Base64_Encode(std::string(3000, 'y')).find_first_of("\r\n"), Str::npos);
}

TEST(Base64, DecodesBinaryAndReportsLength) {
    long n = -1;
    Str bytes = Base64_Decode_rLen("AP/+AAA=", &n);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(View(bytes), "\0\xff\xfe\0\0"sv);
    EXPECT_EQ(Base64_Decode_rLen("YWJj"), "abc");
    n = -1;
    EXPECT_EQ(Base64_Decode_rLen("", &n), "");
    EXPECT_EQ(n, 0);

    std::string blob;
    for (int i = 0; i < 1000; ++i) blob.push_back(static_cast<char>(i * 7));
    Str round = Base64_Decode_rLen(View(Base64_Encode(blob)), &n);
    EXPECT_EQ(n, 1000);
    EXPECT_EQ(View(round), blob);
}

TEST(Base64, DamagedInputNeverCrashesAndReportsWhatItGives) {
    // Nothing decodable: an empty result and a zero count, never a stale length.
    for (std::string_view bad : {"!!!!"sv, "\0\0\0\0"sv, "===="sv, "\xff\xfe"sv}) {
        long n = -1;
        EXPECT_EQ(Base64_Decode_rLen(bad, &n), "") << testing::PrintToString(bad);
        EXPECT_EQ(n, 0);
    }
    // Whatever a damaged value yields, the count matches it and stays within what the
    // input could hold.
    for (std::string_view damaged : {"YWJj*ZGVm"sv, "YWJjZGVm*"sv, "YWJjZ"sv, "YW=j"sv, "===="sv, "Y"sv, "\xff\xfe"sv}) {
        long n = -1;
        Str got = Base64_Decode_rLen(damaged, &n);
        EXPECT_EQ(n, static_cast<long>(got.size())) << testing::PrintToString(damaged);
        EXPECT_LE(got.size(), damaged.size() * 3 / 4);
    }
    // Decoding stops at the damage and keeps what came before; padding is optional.
    EXPECT_EQ(Base64_Decode_rLen("YWJjZGVm*"), "abcdef");
    EXPECT_EQ(Base64_Decode_rLen("YWJj*ZGVm"), "abc");
    EXPECT_EQ(Base64_Decode_rLen("YWJj ZGVm"), "abc");
    EXPECT_EQ(Base64_Decode_rLen("YWJjZA"), "abcd");
    EXPECT_EQ(Base64_Decode_rLen("YWJjZGU"), "abcde");
    EXPECT_EQ(Base64_Decode_rLen("YWJjZA=="), "abcd");
}

TEST(MD5, PrintsLowerCaseHex) {
    EXPECT_EQ(uMD5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(uMD5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(uMD5("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
}
