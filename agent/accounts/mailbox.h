// What the POP and IMAP modules share: log in and match the server's listing against
// the mail index, finish deletions an earlier run left unconfirmed, forward each new
// message and delete it unless it is to be left, and end the session.
#pragma once

#include "webmail.h"

// The protocol side of one mailbox module. Listing lines hold a key (field 1: the POP
// message number) and an identifier (field idField) split at blanks; with idField 1 the
// whole line is both (an IMAP UID, a web mailbox's message identifier). Entries a module
// does not use (a web module lists and closes on its own) are null.
struct MailboxClient {
    const char* openTrace; // traced at the start of OpenAccount, or null
    long idField;
    // Why the index could not hold this identifier (the whole rest of the listing line
    // after the key, for POP), or null when it can.
    const char* (*badId)(std::string_view id);
    int (*connect)(webMail& s, std::string_view server, std::string_view credentials, std::string_view type, int tls);
    int (*list)(webMail& s, Str& listing);
    int (*open)(webMail& s, std::string_view key);
    long (*next)(webMail& s, std::string_view& chunk);
    int (*remove)(webMail& s, std::string_view key);
    // Marks a forwarded message that stays on the server as read, or null.
    int (*keep)(webMail& s, std::string_view key);
    int (*close)(webMail& s);
    bool (*connected)(webMail& s);
    int (*error)(webMail& s); // the error rule with the client's texts; returns -1
    // The mail index key of an identifier, or null when it is the identifier itself.
    std::string_view (*indexKey)(std::string_view id);
    // Sends the retrieval of the message opened next once the current one's text has
    // been read, so the answer travels while the SMTP server takes the current one; the
    // next open is for that key. Null when the client does not send ahead.
    int (*ahead)(webMail& s, std::string_view key) = nullptr;
};

struct mailIndex;
// One message the server lists, matched against the index: forwarded before ("E") it
// becomes "F"; unknown, it is new (line added to msgList, in front when the server lists
// newest first, and counted; the identifier to the index); a deletion left unconfirmed
// ("C") puts line on the clean-up list. Returns the mark found.
Str ListedMessage(webMail& s, mailIndex& ix, std::string_view id, std::string_view line, Str& cleanup,
                  bool newestFirst = false);
// Finishes the deletions an earlier run left unconfirmed (the clean-up list's lines):
// all are marked "D" first, then each is deleted. 0, or the error rule's result.
int CleanUp(webMail& s, std::string_view cleanup, const MailboxClient& client);

int OpenMailbox(webMail& session, const MailboxClient& client);
int ProcessMailbox(webMail& session, const MailboxClient& client);
int CloseMailbox(webMail& session, const MailboxClient& client);
