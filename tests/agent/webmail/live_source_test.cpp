// The Live source page as the service writes it: "<pre>", a line break, the source.
#include <gtest/gtest.h>

#include "source_filter.h"

namespace {

std::string recovered(std::string_view first, std::string_view second) {
    LiveSource source;
    Str out;
    source.feed(first, out);
    source.feed(second, out);
    const char* missing = source.finish(out);
    return std::string(View(out)) + (missing ? missing : "");
}

} // namespace

// The line break right after "<pre>" is markup (as in HTML), whichever form it takes and
// wherever the page is cut; an empty line that starts the text itself stays.
TEST(LiveSourceRecovery, LineBreakAfterPreIsNotText) {
    const std::string junk(70000, 'j'); // longer than a line the filter holds
    struct Case {
        const char* name;
        std::string page;
        std::string expected;
    } cases[] = {
        {"CR LF", "<html>\r\n<div><pre>\r\nFrom: a\r\n\r\nbody\r\n</pre></div>\r\n", "From: a\r\n\r\nbody\r\n"},
        {"entity", "<html>\r\n<div><pre>&#13;&#10;From: a&#13;&#10;&#13;&#10;body&#13;&#10;</pre></div>\r\n",
         "From: a\r\n\r\nbody\r\n"},
        {"empty first line", "<pre>\r\n\r\nbody\r\n</pre>", "\r\nbody\r\n"},
        {"empty first line, entity", "<pre>&#13;&#10;&#13;&#10;body&#13;&#10;</pre>", "\r\nbody\r\n"},
        {"after a long line", junk + "<pre>&#13;&#10;x&#13;&#10;</pre>", "x\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t pre = c.page.find("<pre>");
        for (size_t cut = pre < 16 ? 0 : pre - 16; cut <= c.page.size(); ++cut)
            ASSERT_EQ(recovered(std::string_view(c.page).substr(0, cut), std::string_view(c.page).substr(cut)),
                      c.expected)
                << "cut at " << cut;
    }
}
