// The Hotmail/MSN account module: sign-in through the Windows Live login pages, the
// CGI mailbox's listing, and each new message's raw source forwarded, then marked read
// or moved to the trash. The page scanners are apart from the requests, so they can be
// tested and fuzzed alone.
#pragma once

#include <functional>
#include <string_view>

#include "tstr.h"
#include "webmail.h"

void HotmailMail_Init(webMail& session);

namespace hotmail {

// True when the answer at url with this page is one of the service's error pages; detail
// then holds the explanation to show.
bool ErrorPage(std::string_view url, std::string_view page, Str& detail);

// The login link of the page that leads to the CGI mailbox, around its first "sbox": the
// quoted text there, entity-decoded, and of it the single-quoted URL with backslash
// escapes decoded. Empty when it holds no "http".
Str SboxUrl(std::string_view page);
// The quoted text around the first "loginmsn.srf", entity-decoded; empty when none.
Str CookieUrl(std::string_view page);

struct InboxLink {
    Str link; // empty when the page has none
    Str curmbox;
    Str sessionKey;
};
// The first "/cgi-bin/HoTMaiL?" link in double quotes whose "curmbox" ends in
// "000000001" and that has an "a" value.
InboxLink FindInboxLink(std::string_view page);

// Each identifier of a directory page in page order: the text after "getmsg?msg=" up to
// "&", "'" or the end of the page (possibly empty).
void MessageIds(std::string_view page, const std::function<void(std::string_view id)>& visit);
// The trash folder's identifier among the page's "HMFO('" folder links; empty when none.
Str TrashFolder(std::string_view page);

} // namespace hotmail

// The request set of a Windows Live mailbox build: its inbox, mark and move form bodies
// and the text that opens the message list.
struct LiveRequests {
    char name; // 'A' to 'D'
    std::string_view inboxTemplate;
    std::string_view markTemplate;
    std::string_view moveTemplate;
    std::string_view listMarker;
};

namespace hotmail {

// The set for a build version: the first whose starting version sorts above it (bytes as
// unsigned characters) belongs to the set before; versions from the last start on get set D.
const LiveRequests& LiveSetFor(std::string_view buildVersion);

} // namespace hotmail
