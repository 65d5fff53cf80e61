#include <gtest/gtest.h>

#include "webmail.h"

namespace {

struct Form {
    explicit Form(std::string_view page) {
        webFormInit(*s);
        webFormParse(*s, page);
    }
    Owned<webMail> s = webMail_construct();
    std::vector<std::pair<std::string, std::string>> fields() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (size_t i = 0; i < s->formNames.size(); ++i)
            out.emplace_back(std::string(View(s->formNames[i])), std::string(View(s->formValues[i])));
        return out;
    }
};

using Fields = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST(FormScanner, CollectsActionAndFieldsWithAnyDelimiter) {
    Form f("<html><FORM method=post action=\"https://login.example.com/ppsecure/post.srf?x=1\">"
           "<input type=hidden name=\"PPFT\" value='abc def&g'><input name=|login| value=|me@example.com|>"
           "<input type=submit name=\"\" value=\"Sign in\"><input name=\"noValue\"></form> trailing");
    EXPECT_EQ(f.s->formPos, 7);
    EXPECT_EQ(f.s->formAction, "https://login.example.com/ppsecure/post.srf?x=1");
    EXPECT_EQ(f.fields(), (Fields{{"PPFT", "abc def&g"}, {"login", "me@example.com"}, {"noValue", ""}}));
    EXPECT_EQ(webFormParmStr(*f.s), "PPFT=abc%20def%26g&login=me%40example%2ecom&noValue=");
}

TEST(FormScanner, StopsAtAnInputWithoutNameAndFindsLaterForms) {
    Form f("<form action='/a'><input name='one' value='1'><input type=text><input name='two' value='2'></form>"
           "<form action='/b'><input name='three' value='3'></form>");
    EXPECT_EQ(f.fields(), (Fields{{"one", "1"}}));
    EXPECT_EQ(f.s->formAction, "/a");
    f.s->formPos += f.s->formLen;
    webFormParse(*f.s, "<form action='/a'><input name='one' value='1'><input type=text><input name='two' value='2'></form>"
                       "<form action='/b'><input name='three' value='3'></form>");
    EXPECT_EQ(f.s->formAction, "/b");
    EXPECT_EQ(f.fields(), (Fields{{"three", "3"}}));

    Form none("<html>no form here</html>");
    EXPECT_EQ(none.s->formPos, 0);
    EXPECT_TRUE(none.fields().empty());
    EXPECT_EQ(webFormParmStr(*none.s), "");
    Form unclosed("<form action='/x'><input name='a' value='1'>");
    EXPECT_EQ(unclosed.s->formPos, 0);
}

TEST(FormScanner, ParseUrlIsBoundedOnBothSides) {
    std::string_view text = "location.replace('http://mail.example.com/inbox?a=1');";
    long pos = InStr(1, text, "http");
    EXPECT_EQ(webFormParseUrl(pos, text, "'", "'"), "http://mail.example.com/inbox?a=1");
    EXPECT_EQ(webFormParseUrl(pos, text, "\"", "'"), "");
    EXPECT_EQ(webFormParseUrl(pos, text, "'", "\""), "");
    EXPECT_EQ(webFormParseUrl(0, text, "'", "'"), "");
    EXPECT_EQ(webFormParseUrl(999, text, "'", "'"), "");
    EXPECT_EQ(webFormParseUrl(3, "aXbcXd", "x", "x"), "bc"); // delimiters match without regard to case
}
