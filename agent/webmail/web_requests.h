// What the web-mail modules share about their requests: the account's texts, pages
// requested with the lines every module request carries, failures found in pages, and
// the walk of a sign-in from one page's link to the next.
#pragma once

#include <unordered_set>

#include "globals.h"
#include "http.h"
#include "webmail.h"

namespace web {

const AccountRow& account();
HttpClient& client(webMail& s);
const char* typeName();
Str loginFailed(); // "Login failed for account <address>."
Str serverError(); // "<type> server returned an error."

// A failure found in a page: its texts and the page in the error log; the connection is
// closed. Returns -1; the caller applies the error rule.
int pageError(webMail& s, std::string_view text, std::string_view detail);
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

// A sign-in: each request goes to a link of the page before, with the URL of the request
// before as Referer.
class PageWalk {
public:
    explicit PageWalk(webMail& s) : s_(s), http_(client(s)) {}

protected:
    // A link of the current page, resolved against its URL; 0, or the error rule's result.
    int request(const char* method, std::string_view link, std::string_view body);
    // The sign-in failed: "Login failed for account <address>." with detail, the page
    // logged; the error rule's result.
    int fail(std::string_view detail);
    std::string_view page() const { return View(http_.body); }

    webMail& s_;
    HttpClient& http_;
    Str previous_; // the URL of the last request sent
};

} // namespace web
