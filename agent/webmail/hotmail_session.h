// What the parts of the Hotmail module share: the account's texts, requests with the
// lines every Hotmail request carries, the error check, and the index steps.
#pragma once

#include <unordered_set>

#include "globals.h"
#include "http.h"
#include "hotmail.h"

namespace hotmail {

const AccountRow& account();
HttpClient& client(webMail& s);
const char* typeName();
Str loginFailed();  // "Login failed for account <address>."
Str serverError();  // "<type> server returned an error."

// A failure found in a page: its texts and the page in the error log; the connection is
// closed. Returns -1; the caller applies the error rule.
int pageError(webMail& s, std::string_view text, std::string_view detail);
// The error check on the last answer; -1 (logged, not yet alerted) on an error page.
int checkPage(webMail& s);
// Sends a request with these header lines; its body waits on the connection.
int sendRequest(webMail& s, const char* method, std::string_view url, std::string_view body, std::string_view headers);
// "Referer: " (when there is one), "Accept: */*" and "Connection: ", each ending CR LF.
Str pageHeaders(std::string_view referer, std::string_view connection);
// sendRequest, then the whole page into the client's body.
int getPage(webMail& s, const char* method, std::string_view url, std::string_view body, std::string_view headers);

// An identifier holding a line break, tab or NUL would break the message list and the
// index; it is treated as a missing one.
bool usableId(std::string_view id);

struct StrHash {
    size_t operator()(const Str& s) const noexcept { return std::hash<std::string_view>{}(View(s)); }
};
// Identifiers a listing has met, so a page that only repeats them ends the paging.
using IdSet = std::unordered_set<Str, StrHash, std::equal_to<Str>, TrackedAllocator<Str>>;

// Moves a message to the trash: -1 after a failure (texts set, not yet alerted).
int DelMsg(webMail& s, std::string_view id);
// The deletions an earlier run left unconfirmed (ids CR LF separated), after the listing;
// the error rule's result on a failure.
int cleanUp(webMail& s, std::string_view ids);

// The Windows Live mailbox, from the page the sign-in link led to (lastUrl: that request).
int OpenAccountBeta(webMail& s, std::string_view lastUrl);
int LiveMarkMsg(webMail& s, std::string_view id);
int LiveDelMsg(webMail& s, std::string_view id);

} // namespace hotmail
