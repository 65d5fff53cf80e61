// IMAP client for one INBOX: login (SASL PLAIN when offered, else LOGIN), the UID list,
// fetch by UID delivered in pieces, \Deleted flags set in batches, removal of only the
// messages this session flagged, and LOGOUT, over a plain or TLS connection (TLS from
// the first byte).
//
// Every operation returns 0 (or a length) on success and -1 on failure; after a
// failure the connection is closed and socket.errorText/errorDetail say why.
#pragma once

#include <string_view>

#include "bsocket.h"

// UIDs flagged with one STORE: one round trip per batch costs little next to one per
// message, and a batch of UIDs of up to ten digits still goes in a single command.
constexpr int kDeleteBatch = 64;

struct ImapClient {
    bSocket socket;
    int tagCounter = 0;      // number of the last tag; keeps counting for the record's life
    Str tag;                 // current command's tag, "A%04i "
    int port = 0;
    int endOfMessage = 0;    // 1 once the literal and the command's tagged result were read
    long messageLength = 0;  // size of the current literal, from its "{n}"
    long bytesRead = 0;      // bytes of the current literal delivered so far
    Str text;                // the UID list after imap_uidl, the current piece after imap_getText
    int exists = 0;          // messages in INBOX, from SELECT's EXISTS
    // From the latest capability list the server sent (greeting, CAPABILITY, login).
    int authPlain = 0;
    int unselect = 0;
    int uidPlus = 0;
    // 1: fetch with BODY.PEEK[], which leaves the flags alone (for mail that is deleted
    // anyway); 0: RFC822, which marks the message \Seen as it is fetched.
    int peek = 0;
    Str queuedUids;          // UID set waiting for the batched STORE
    int queued = 0;          // UIDs in queuedUids
    Str flaggedUids;         // UID set this session flagged \Deleted
    Str owedTags;            // tags of STOREs sent whose results are still to read, each with its blank
    Str aheadUid;            // UID whose FETCH was sent ahead, "" when none
    Str aheadTag;            // that FETCH's tag
};

Owned<ImapClient> imap_construct();

// server: host[:port] (no port or 0: 993 with TLS, else 143); credentials: user ":"
// password (cut at a second ":"); serverName: the account type. Logs in and selects
// INBOX. Credentials with a line break, or too long for a command line in either
// login form, are refused before anything is sent.
int imap_connect(ImapClient& imap, std::string_view server, std::string_view credentials, std::string_view serverName,
                 int useTLS);
// Fills text with the UIDs of the messages not flagged \Deleted, one per line with
// CR LF, in the server's order; sends nothing when INBOX is empty. A listing longer
// than the socket's list limits fails.
int imap_uidl(ImapClient& imap);
// Opens the message's literal (RFC822, or BODY[] with peek), fetched now or sent ahead;
// an empty literal ("{0}") is an empty message.
int imap_getOpen(ImapClient& imap, std::string_view uid);
// Sends the FETCH of the message to be opened next, so its answer is on its way while
// the current one is forwarded. The next imap_getOpen must be for that UID, and no
// command that waits for its result may come before it.
int imap_sendAhead(ImapClient& imap, std::string_view uid);
// Next piece of the literal in text: 4096 bytes except the last, whatever the lines,
// exactly the literal's bytes in all; 0 once the message is complete. The call that
// completes the literal also reads the command's tagged result.
long imap_getText(ImapClient& imap);
// Queues the UID for deletion; every kDeleteBatch UIDs, and before the session ends,
// the queue is flagged \Seen \Deleted with one UID STORE. The STORE's result is read
// with the answers that follow it (a fetch sent ahead may come first), and a failure
// fails the call that reads it.
int imap_delete(ImapClient& imap, std::string_view uid);
// Flags what is queued, then ends the session removing only the messages this session
// flagged, so messages that another client flagged stay: nothing flagged: UNSELECT
// when offered; else with UIDPLUS: UID EXPUNGE of our UIDs, then UNSELECT when
// offered; without UIDPLUS: CLOSE (which removes every flagged message). Then LOGOUT
// and the connection is closed.
int imap_close(ImapClient& imap);
