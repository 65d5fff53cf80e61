#include <gtest/gtest.h>

#include "base64.h"
#include "yahoo.h"

namespace {

std::string joined(const yahoo::MimeSegments& segments) {
    std::string out;
    for (const auto& seg : segments) {
        out += std::string(View(seg.text));
        if (!seg.downloadPart.empty()) out += "[download " + std::string(View(seg.downloadPart)) + "]";
    }
    return out;
}

std::string part(const std::string& attrs, const std::string& text = "") {
    return "<part " + attrs + ">" + (text.empty() ? "" : "<text>" + text + "</text>") + "</part>";
}

} // namespace

TEST(YahooText, IndexKeyLoginErrorsAndFaults) {
    EXPECT_EQ(yahoo::YahooMsgIDBeta("1_2345_AbC"), "AbC");
    EXPECT_EQ(yahoo::YahooMsgIDBeta("plain"), "plain");

    struct Case {
        const char* url;
        const char* page;
        const char* text;
    } cases[] = {
        {"https://l/update?.src=ym", "<h2>Error x</h2>",
         "Account Information update page shown.\r\nLog into your Yahoo account with a web browser and update your "
         "security information."},
        {"https://l/", "<div class=\"yregertxt\"><strong>Invalid</strong> ID\r\n<br>Try <a href=\"x\">again</a>.<p>Now</p></div>",
         "Invalid ID\r\nTry again.\r\nNow"},
        {"https://l/", "<h2>Error: Your account is locked</h2>", "Error: Your account is locked"},
        {"https://l/", "<span class=\"primaryHeading\"> Sign-in&nbsp;unavailable<br />Try later</span></td>",
         "Sign-in unavailable\r\nTry later"},
        {"https://l/", "<div class=\"primaryHeading x\"> Too many attempts<br/>Wait </div>", "Too many attempts\r\nWait"},
        {"https://l/", "<p>nothing</p>", "fallback"},
    };
    for (const Case& c : cases) EXPECT_EQ(yahoo::LoginErrorText(c.url, c.page, "fallback"), c.text) << c.page;

    Str detail;
    EXPECT_FALSE(yahoo::FaultText("<ListMessagesResponse >", detail));
    ASSERT_TRUE(yahoo::FaultText("<faultstring>Bad mid</faultstring><detail>id 7</detail>", detail));
    EXPECT_EQ(detail, "Bad mid\r\nid 7");
    ASSERT_TRUE(yahoo::FaultText("<faultstring>no end", detail));
    EXPECT_EQ(detail, "Error value not found.");
}

TEST(YahooText, ParameterListsSplitOutsideQuotesAndQuoteWhatNeedsIt) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"text/plain; charset=utf-8", "text/plain; charset=\"utf-8\""},
        {"application/pdf; name=\"a;b \\\"c\\\".pdf\"", "application/pdf; name=\"a;b \\\"c\\\".pdf\""},
        {"application/pdf; filename*=utf-8''na%C3%AFve.pdf", "application/pdf; filename*=utf-8''na%C3%AFve.pdf"},
        {"text/plain;format=flowed ; delsp", "text/plain; format=\"flowed\"; delsp"},
        {"multipart/mixed; boundary='x y'", "multipart/mixed; boundary=\"x y\""},
        {" ; =lost; name=", "name"},
    };
    for (const Case& c : cases) EXPECT_EQ(yahoo::requoteParms(c.in), c.out) << c.in;

    yahoo::HdrParms p = yahoo::parseHdrParms("text/plain; CHARSET=koi8-r");
    EXPECT_EQ(yahoo::getHdrParmVal(p, "charset"), "koi8-r");
    yahoo::setHdrParmVal(p, "charset", "utf-8");
    yahoo::setHdrParmVal(p, "format", "flowed");
    EXPECT_EQ(yahoo::hdrParmStr(p), "text/plain; CHARSET=\"utf-8\"; format=\"flowed\"");
}

TEST(YahooText, HeaderFieldsAndTheirLabels) {
    const std::string header = "Subject: x\r\nContent-Type: text/plain;\r\n charset=koi8-r\r\nX-Content-Type: y\r\n\r\n";
    yahoo::HdrField f = yahoo::parseMailHdr("Content-Type: ", header);
    EXPECT_EQ(f.pos, 13);
    EXPECT_EQ(header.substr(static_cast<size_t>(f.pos - 1), static_cast<size_t>(f.len)),
              "Content-Type: text/plain;\r\n charset=koi8-r\r\n");
    EXPECT_EQ(yahoo::getHdrParmVal(f.parms, "charset"), "koi8-r");
    yahoo::HdrField absent = yahoo::parseMailHdr("Content-Transfer-Encoding: ", header);
    EXPECT_EQ(absent.len, 0);
    EXPECT_EQ(absent.pos, static_cast<long>(header.size()) - 1);

    EXPECT_EQ(yahoo::LabelHeaderBlock(header, "utf-8", "quoted-printable"),
              "Subject: x\r\nContent-Type: text/plain; charset=\"utf-8\"\r\nX-Content-Type: y\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    // A text part that arrived in Base64 and goes out as plain ASCII says so, also
    // without a Content-Type.
    EXPECT_EQ(yahoo::LabelHeaderBlock("Subject: x\r\nContent-Transfer-Encoding: base64\r\n\r\n", "us-ascii", "7bit"),
              "Subject: x\r\nContent-Transfer-Encoding: 7bit\r\n\r\n");
    EXPECT_EQ(yahoo::LabelHeaderBlock("Subject: x\r\n\r\n", "us-ascii", "7bit"), "Subject: x\r\n\r\n");
    EXPECT_EQ(yahoo::LabelHeaderBlock("Subject: x\r\n\r\n", "utf-8", "quoted-printable"),
              "Subject: x\r\nContent-Type: text/plain; charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");

    EXPECT_EQ(yahoo::crlfLines("a\nb\r\nc\rd\n"), "a\r\nb\r\nc\rd\r\n");
}

TEST(YahooText, TextBodiesKeepTheirCharsetOnlyWhenEveryCharacterFits) {
    struct Case {
        const char* charset;
        const char* text;
        const char* outCharset;
        const char* encoding;
        const char* data;
    } cases[] = {
        {"us-ascii", "plain\r\n", "us-ascii", "7bit", "plain\r\n"},
        {"", "plain\r\n", "us-ascii", "7bit", "plain\r\n"},
        {"US-ASCII", "caf\xc3\xa9\r\n", "utf-8", "quoted-printable", "caf=C3=A9\r\n"},
        {"iso-8859-1", "caf\xc3\xa9\r\n", "iso-8859-1", "quoted-printable", "caf=E9\r\n"},
        {"iso-8859-1", "\xe2\x82\xac\r\n", "utf-8", "quoted-printable", "=E2=82=AC\r\n"},
        {"koi8-r", "\xd0\x9f\r\n", "utf-8", "quoted-printable", "=D0=9F\r\n"},
    };
    for (const Case& c : cases) {
        yahoo::TextBody b = yahoo::EncodeText(c.charset, c.text);
        EXPECT_EQ(b.charset, c.outCharset) << c.text;
        EXPECT_EQ(b.encoding, c.encoding) << c.text;
        EXPECT_EQ(b.data, c.data) << c.text;
    }
}

// Base64 lines come in groups of 57 bytes wherever the download's pieces are cut.
TEST(YahooText, Base64LinesAtEveryCut) {
    for (size_t size : {size_t(0), size_t(1), size_t(57), size_t(58), size_t(4095), size_t(4097)}) {
        std::string data;
        for (size_t i = 0; i < size; ++i) data += static_cast<char>(i * 7);
        std::string expected;
        for (size_t at = 0; at < size; at += 57) expected += std::string(View(Base64_Encode(data.substr(at, 57)))) + "\r\n";
        for (size_t cut = 0; cut <= size; cut += size > 100 ? 997 : 1) {
            yahoo::Base64Lines lines;
            Str out;
            lines.feed(std::string_view(data).substr(0, cut), out);
            lines.feed(std::string_view(data).substr(cut), out);
            lines.finish(out);
            ASSERT_EQ(std::string(View(out)), expected) << size << " cut " << cut;
        }
    }
}

// The nested example: mixed (A) holding alternative (B) with plain and html, then a PNG.
TEST(YahooParts, NestedPartsComeOutWithTheirBoundaries) {
    const std::string answer =
        "<message>" + part("partId=\"HEADER\" type=\"x-unknown\"") +
        part("partId=\"TEXT\" type=\"multipart\" subtype=\"mixed\" typeParams=\"boundary=&quot;A&quot;\"") +
        part("partId=\"1\" type=\"multipart\" subtype=\"alternative\" typeParams=\"boundary=&quot;B&quot;\"") +
        part("partId=\"1.1\" type=\"text\" subtype=\"plain\" typeParams=\"charset=us-ascii\" encoding=\"base64\"",
             "Hello &amp; welcome\n") +
        part("partId=\"1.2\" type=\"text\" subtype=\"html\" typeParams=\"charset=utf-8\"", "&lt;p&gt;Hi\xc3\xa9&lt;/p&gt;") +
        part("partId=\"2\" type=\"image\" subtype=\"png\" typeParams=\"name=a.png\" disposition=\"inline\" "
             "dispParams=\"filename=a.png\" contentId=\"&lt;img1@x&gt;\" encoding=\"7bit\"") +
        "</message>";
    yahoo::MimeSegments segments;
    yahoo::TopLabel top;
    ASSERT_EQ(yahoo::BuildParts(answer, segments, top), nullptr);
    EXPECT_TRUE(top.encoding.empty());
    EXPECT_EQ(joined(segments),
              "--A\r\nContent-Type: multipart/alternative; boundary=\"B\"\r\n\r\n"
              "--B\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
              "Hello & welcome\r\n\r\n" // its own line end, then the delimiter's
              "--B\r\nContent-Type: text/html; charset=\"utf-8\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
              "<p>Hi=C3=A9</p>\r\n"
              "--B--\r\n"
              "--A\r\nContent-Id: <img1@x>\r\nContent-Type: image/png; name=\"a.png\"\r\n"
              "Content-Disposition: inline; filename=\"a.png\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
              "[download 2]--A--\r\n");
}

TEST(YahooParts, SinglePartsDeepNestingAndDataFailures) {
    yahoo::MimeSegments segments;
    yahoo::TopLabel top;
    ASSERT_EQ(yahoo::BuildParts(part("partId=\"TEXT\" type=\"text\" subtype=\"plain\" typeParams=\"charset=koi8-r\"",
                                     "\xd0\x9f"),
                                segments, top),
              nullptr);
    EXPECT_EQ(top.charset, "utf-8");
    EXPECT_EQ(top.encoding, "quoted-printable");
    EXPECT_EQ(joined(segments), "=D0=9F\r\n");

    auto nested = [](int levels) {
        std::string answer = part("partId=\"TEXT\" type=\"multipart\" subtype=\"mixed\" typeParams=\"boundary=b0\"");
        std::string id;
        for (int i = 1; i < levels; ++i) {
            id += id.empty() ? "1" : ".1";
            answer += part("partId=\"" + id + "\" type=\"multipart\" subtype=\"mixed\" typeParams=\"boundary=b" +
                           std::to_string(i) + "\"");
        }
        return answer + part("partId=\"" + id + ".1\" type=\"text\" subtype=\"plain\"", "deep");
    };
    segments.clear();
    ASSERT_EQ(yahoo::BuildParts(nested(7), segments, top), nullptr);
    std::string text = joined(segments);
    for (int i = 0; i < 7; ++i) {
        std::string b = "b" + std::to_string(i);
        EXPECT_NE(text.find("--" + b + "\r\n"), std::string::npos) << b;
        EXPECT_NE(text.find("--" + b + "--\r\n"), std::string::npos) << b;
    }
    EXPECT_LT(text.find("--b6--"), text.find("--b0--"));
    segments.clear();
    EXPECT_STREQ(yahoo::BuildParts(nested(40), segments, top), "Message parts are nested too deeply.");
    segments.clear();
    EXPECT_STREQ(yahoo::BuildParts("<message></message>", segments, top), "No message parts found.");
    EXPECT_STREQ(yahoo::BuildParts(part("partId=\"TEXT\" type=\"text\" subtype=\"plain\""), segments, top),
                 "Message part text not found.");
}
