// A Hotmail page as any bytes, the first two choosing where it is cut into two reads.
// Promises checked: the source recovery gives the same text and verdict wherever the
// page is cut; a complete text is whole CR LF lines; every link, identifier and folder
// found is part of the page; an error page always comes with an explanation.
#include "fuzz_util.h"
#include "hotmail.h"
#include "source_filter.h"

namespace {

bool partOf(const Str& value, std::string_view text) { return text.find(View(value)) != std::string_view::npos; }

struct Result {
    Str text;
    const char* missing;
};

Result recover(std::string_view first, std::string_view second) {
    CgiSource source;
    Result r{};
    source.feed(first, r.text);
    source.feed(second, r.text);
    r.missing = source.finish(r.text);
    return r;
}

void source(std::string_view page, size_t cut) {
    Result whole = recover(page, {});
    Result split = recover(page.substr(0, cut), page.substr(cut));
    fuzz::check(whole.text == split.text, "recovered text depends on the cut");
    fuzz::check(whole.missing == split.missing, "verdict depends on the cut");
    if (!whole.missing) fuzz::check(whole.text.empty() || whole.text.ends_with("\r\n"), "text ends inside a line");
}

void scanners(std::string_view page) {
    Str detail;
    if (hotmail::ErrorPage(page.substr(0, page.size() / 4), page, detail))
        fuzz::check(!detail.empty(), "error page without explanation");
    hotmail::InboxLink inbox = hotmail::FindInboxLink(page);
    if (!inbox.link.empty()) {
        fuzz::check(partOf(inbox.link, page), "inbox link not on the page");
        fuzz::check(inbox.curmbox.ends_with("000000001") && !inbox.sessionKey.empty(), "not an inbox link");
        fuzz::check(partOf(inbox.curmbox, View(inbox.link)) && partOf(inbox.sessionKey, View(inbox.link)), "link values");
    }
    size_t ids = 0;
    hotmail::MessageIds(page, [&](std::string_view id) {
        ++ids;
        fuzz::check(page.find(id) != std::string_view::npos, "identifier not on the page");
    });
    fuzz::check(ids <= page.size(), "more identifiers than bytes");
    Str trash = hotmail::TrashFolder(page);
    fuzz::check(trash.empty() || partOf(trash, page), "trash folder not on the page");
    hotmail::SboxUrl(page);
    hotmail::CookieUrl(page);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string_view page = fuzz::asText(data + 2, size - 2);
    source(page, (static_cast<size_t>(data[0]) << 8 | data[1]) % (page.size() + 1));
    scanners(page);
    return 0;
}
