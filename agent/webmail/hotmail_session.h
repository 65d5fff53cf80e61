// What the parts of the Hotmail module share: the error check, the move to the trash and
// the clean-up, and the Windows Live mailbox's entry points.
#pragma once

#include "hotmail.h"
#include "web_requests.h"

namespace hotmail {

using namespace web;

// The error check on the last answer; -1 (logged, not yet alerted) on an error page.
int checkPage(webMail& s);

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
