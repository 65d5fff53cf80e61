#include <gtest/gtest.h>

#include "hotmail.h"
#include "source_filter.h"

namespace {

struct Recovered {
    std::string text;
    std::string missing; // empty when the text was complete
    bool operator==(const Recovered&) const = default;
};

Recovered recover(const std::vector<std::string_view>& pieces) {
    CgiSource source;
    Str out;
    for (std::string_view p : pieces) source.feed(p, out);
    const char* missing = source.finish(out);
    return {std::string(View(out)), missing ? missing : ""};
}

std::string lf(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r') out += c;
    return out;
}

} // namespace

// Every page, with CR LF and with LF line ends, gives the same message however its bytes
// are cut into two reads.
TEST(CgiSourceRecovery, SameMessageForEveryCutAndLineEnd) {
    const std::string head = "<html><body>\r\n<div class=\"x\">Message</div>\r\n";
    const std::string msg = "From: Ann &lt;ann@example.com&gt;\r\nSubject: caf\xc3\xa9 &amp; &quot;more&quot;\r\n\r\n"
                            ".starts with a dot\r\nwrites &amp;lt; literally\r\n";
    const std::string want = "From: Ann <ann@example.com>\r\nSubject: caf\xc3\xa9 & \"more\"\r\n\r\n"
                             ".starts with a dot\r\nwrites &lt; literally\r\n";
    struct Case {
        const char* name;
        std::string page;
        Recovered expected;
    } cases[] = {
        {"plain", head + "<PRE>\r\n" + msg + "</PRE>\r\n</body></html>\r\n", {want, ""}},
        {"marker lines with blanks and any case", head + "  <pre>  \r\n" + msg + "</Pre>\t\r\ntail\r\n", {want, ""}},
        {"close on the last line", head + "<PRE>\r\n" + msg + "last</PRE></body></html>", {want + "last\r\n", ""}},
        {"close after a partial line", head + "<PRE>\r\nonly\r\nend</PRE>", {"only\r\nend\r\n", ""}},
        {"empty message", head + "<PRE>\r\n</PRE>\r\n", {"", ""}},
        {"no block", head + "<P>no source here</P>\r\n", {"", "Message data header not found."}},
        {"no end of block", head + "<PRE>\r\n" + msg + "</body></html>\r\n", {want + "</body></html>\r\n", "Message data trailer not found."}},
        {"marker inside a longer line", head + "x<PRE>\r\n" + msg + "</PRE>\r\n", {"", "Message data header not found."}},
    };
    for (const Case& c : cases) {
        for (const std::string& page : {c.page, lf(c.page)}) {
            Recovered expected = c.expected;
            SCOPED_TRACE(std::string(c.name) + (page == c.page ? " CR LF" : " LF"));
            ASSERT_EQ(recover({page}), expected);
            for (size_t cut = 0; cut <= page.size(); ++cut)
                ASSERT_EQ(recover({std::string_view(page).substr(0, cut), std::string_view(page).substr(cut)}), expected)
                    << "cut at " << cut;
        }
    }
}

// A line of any length passes with bounded memory, entities intact at every boundary,
// and so does a huge line before the block.
TEST(CgiSourceRecovery, LinesOfAnyLengthPassInPieces) {
    std::string line, wantLine;
    for (int i = 0; i < 10000; ++i) {
        line += "abc&amp;def&lt;&quot;0123456789";
        wantLine += "abc&def<\"0123456789";
    }
    const std::string page = std::string(200000, 'j') + "\r\n<PRE>" + std::string(100000, ' ') + "\r\n" + line +
                             "\r\nend\r\n</PRE>\r\n";
    const Recovered expected{wantLine + "\r\nend\r\n", ""};
    for (size_t piece : {size_t(1) << 12, size_t(4097), size_t(65536), size_t(100003)}) {
        CgiSource source;
        Str out;
        std::string all;
        for (size_t at = 0; at < page.size(); at += piece) {
            source.feed(std::string_view(page).substr(at, piece), out);
            all += View(out);
            out.clear();
        }
        EXPECT_EQ(source.finish(out), nullptr);
        all += View(out);
        EXPECT_EQ(all, expected.text) << "pieces of " << piece;
    }
}

TEST(HotmailPages, ErrorPagesAndTheirExplanations) {
    struct Case {
        const char* url;
        const char* page;
        const char* detail; // null: no error
    } cases[] = {
        {"http://h/toobusy.html", "",
         "Server too busy.\r\nWe are experiencing higher than normal volume and are therefore unable to service your "
         "request at this time.  Wait a few minutes and try again."},
        {"http://h/cgi-bin/fm_shell.asp?err=Mailbox%20is%20unavailable&x=1", "", "Mailbox is unavailable"},
        {"http://h/cgi-bin/FM_SHELL.asp?x=1", "", "Error value not found."},
        {"http://h/cgi-bin/fm_shell.asp?err=x&content=machinedown", "",
         "The server that holds your account information is temporarily unavailable."},
        {"http://h/mail", "<script>HM.FppError(1,\"The action could not be completed.\")</script>",
         "The action could not be completed."},
        {"http://h/mail", "HM.FppError(1)", "Error value not found."},
        {"http://h/mail", "<div class=\"errorText\">Your mailbox &amp; folders</DIV>", "Your mailbox & folders"},
        {"http://h/mail", "<div class=\"errorText\">no end", "Error value not found."},
        {"http://h/mail", "<div class=\"errorText\"> </div> HM.FppError(1,\"\")", "Error value not found."},
        {"http://h/cgi-bin/getmsg?msg=1", "<PRE>errorText and toobusy.html mentioned in a message</PRE>", nullptr},
    };
    for (const Case& c : cases) {
        Str detail;
        EXPECT_EQ(hotmail::ErrorPage(c.url, c.page, detail), c.detail != nullptr) << c.url << " " << c.page;
        if (c.detail) {
            EXPECT_EQ(detail, c.detail) << c.url << " " << c.page;
        }
    }
}

TEST(HotmailPages, SignInLinksAndTheInboxLink) {
    const std::string sbox = "<img src=\"http://127.0.0.1:81/ppsecure/loginmsn.srf?lc=1033&amp;x=1\" width=1>"
                             "<body onload=\"top.location.replace(&#39;http:\\/\\/127.0.0.1:81\\/cgi-bin\\/sbox?t=A1&#39;)\">";
    EXPECT_EQ(hotmail::SboxUrl(sbox), "http://127.0.0.1:81/cgi-bin/sbox?t=A1");
    EXPECT_EQ(hotmail::CookieUrl(sbox), "http://127.0.0.1:81/ppsecure/loginmsn.srf?lc=1033&x=1");
    EXPECT_EQ(hotmail::SboxUrl("<a href=\"/cgi-bin/sbox?t=1\">"), "");
    EXPECT_EQ(hotmail::SboxUrl("no marker"), "");
    EXPECT_EQ(hotmail::CookieUrl("no marker"), "");

    const std::string home = "<a href=\"/cgi-bin/HoTMaiL?curmbox=F000000005&a=K1\">Junk</a>"
                             "<a href=\"/cgi-bin/hotmail?curmbox=F000000001\">no key</a>"
                             "<a href=\"/cgi-bin/HoTMaiL?curmbox=F000000001&a=K1&x=2\">Inbox</a>";
    hotmail::InboxLink inbox = hotmail::FindInboxLink(home);
    EXPECT_EQ(inbox.link, "/cgi-bin/HoTMaiL?curmbox=F000000001&a=K1&x=2");
    EXPECT_EQ(inbox.curmbox, "F000000001");
    EXPECT_EQ(inbox.sessionKey, "K1");
    EXPECT_TRUE(hotmail::FindInboxLink(home.substr(0, home.rfind("<a "))).link.empty());
}

TEST(HotmailPages, DirectoryIdentifiersAndTrashFolder) {
    const std::string page = "<a href=\"javascript:HMFO('F000000001')\">Inbox</a>"
                             "<a class=f href=\"javascript:HMFO('f000000004')\">Trash</a>"
                             "<a href=\"/cgi-bin/getmsg?msg=M1&start=1\">"
                             "<a href=\"javascript:G('/cgi-bin/getmsg?msg=M2')\"><a href=\"getmsg?msg=&x\">"
                             "getmsg?msg=LAST";
    std::vector<std::string> ids;
    hotmail::MessageIds(page, [&](std::string_view id) { ids.emplace_back(id); });
    EXPECT_EQ(ids, (std::vector<std::string>{"M1", "M2", "", "LAST"}));
    EXPECT_EQ(hotmail::TrashFolder(page), "f000000004");
    EXPECT_EQ(hotmail::TrashFolder("<a x=HMFO('00000000-0000-0000-0000-000000000002')>"),
              "00000000-0000-0000-0000-000000000002");
    // The identifier of the Live trash folder is compared exactly; a folder link outside an
    // "<a " tag does not count.
    EXPECT_EQ(hotmail::TrashFolder("<a x=HMFO('00000000-0000-0000-0000-00000000000A')> HMFO('F000000004')"), "");
}

TEST(HotmailLive, RequestSetByBuildVersion) {
    struct Case {
        const char* version;
        char set;
    } cases[] = {
        {"_14.9.9999.9999", 'A'}, {"_15.1.3020.0909", 'A'}, {"_15.1.3020.0910", 'B'}, {"_15.1.3020.09100", 'B'},
        {"_15.3.2512.0711", 'B'}, {"_15.3.2512.0712", 'C'}, {"_15.4.0317.0920", 'C'}, {"_15.4.0317.0921", 'D'},
        {"_16.0.0000.0000", 'D'}, {"15.4.0317.0921", 'A'},    {"", 'A'},                {"_\xff", 'D'},
    };
    for (const Case& c : cases) EXPECT_EQ(hotmail::LiveSetFor(c.version).name, c.set) << c.version;
    EXPECT_NE(hotmail::LiveSetFor("_15.1").inboxTemplate.find("%mtVal%"), std::string_view::npos);
    EXPECT_EQ(hotmail::LiveSetFor("_15.4.0317.0921").inboxTemplate.find("%mtVal%"), std::string_view::npos);
}

namespace {

Recovered recoverLive(const std::vector<std::string_view>& pieces) {
    LiveSource source;
    Str out;
    for (std::string_view p : pieces) source.feed(p, out);
    const char* missing = source.finish(out);
    return {std::string(View(out)), missing ? missing : ""};
}

std::string entityLineEnds(std::string s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\r\n") == 0) {
            out += "&#13;&#10;";
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

// The Live source page gives the same message with either line-end form and wherever
// its bytes are cut.
TEST(LiveSourceRecovery, SameMessageForEveryCutAndLineEndForm) {
    const std::string msg = "From: a &lt;a@example.com&gt;\r\nSubject: caf&#233; &amp; more\r\n\r\n.dot\r\nlast";
    const std::string want = "From: a <a@example.com>\r\nSubject: caf\xe9 & more\r\n\r\n.dot\r\nlast";
    struct Case {
        const char* name;
        std::string source; // between the page head and its end
        std::string tail;
        Recovered expected;
    } cases[] = {
        {"line end before the close", "<pre>" + msg + "\r\n</pre>", "</div>", {want + "\r\n", ""}},
        {"last line into the close", "<pre>" + msg + "</pre>", "</div>", {want, ""}},
        {"text after pre on its line", "<div><pre>" + msg + "\r\n</pre>", "", {want + "\r\n", ""}},
        {"no close, markup follows", "<pre>" + msg, "</div></body>", {want, ""}},
        {"no close, no markup", "<pre>" + msg, "", {want.substr(0, want.rfind("\r\n") + 2), "Message data trailer not found."}},
        {"no block", "<p>gone</p>", "", {"", "Message data header not found."}},
    };
    for (const Case& c : cases) {
        for (bool entity : {false, true}) {
            std::string page = "<html><body>\r\n" + (entity ? entityLineEnds(c.source) : c.source) + c.tail;
            Recovered expected = c.expected;
            SCOPED_TRACE(std::string(c.name) + (entity ? " entity line ends" : " CR LF"));
            ASSERT_EQ(recoverLive({page}), expected);
            for (size_t cut = 0; cut <= page.size(); ++cut)
                ASSERT_EQ(recoverLive({std::string_view(page).substr(0, cut), std::string_view(page).substr(cut)}), expected)
                    << "cut at " << cut;
        }
    }
}
