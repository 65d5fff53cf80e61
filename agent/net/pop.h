// POP3 client: USER/PASS login, UIDL listing, RETR delivered in pieces of whole lines,
// DELE and QUIT, over a plain or TLS connection (TLS from the first byte). When the
// server offers PIPELINING, the next retrieval and the deletions are sent without
// waiting, and their answers are read in order when they are needed.
//
// Every operation returns 0 (or a length) on success and -1 on failure; after a
// failure the connection is closed and socket.errorText/errorDetail say why.
#pragma once

#include <string_view>

#include "bsocket.h"

struct PopClient {
    bSocket socket;
    int endOfMessage = 0; // 1 once the "." line of the message being fetched was read
    int lineStart = 1;    // 1 when the next byte of the message begins a line
    Str text;             // the UID list after pop_uidl, the current piece after pop_getText
    int port = 0;
    int pipelining = 0;   // 1 when the server's capability list holds PIPELINING
    Str owed;             // answers still to read, oldest first: 'R' a retrieval, 'D' a deletion
    Str aheadNumber;      // message whose retrieval was sent ahead
};

Owned<PopClient> pop_construct();

// server: host[:port] (no port or 0: 995 with TLS, else 110); credentials: user ":"
// password (cut at a second ":"); serverName: the account type, named in every message.
// A user name or password with a line break, or too long for a command line, is
// refused before anything is sent. After the login CAPA tells whether the server takes
// commands before it has answered the ones before (a server without CAPA does not).
int pop_connect(PopClient& pop, std::string_view server, std::string_view credentials, std::string_view serverName,
                int useTLS);
// Fills text with the UIDL answer: one "number uid" line per message, each with CR LF,
// leading blanks removed, in the server's order. A listing longer than the socket's
// list limits fails.
int pop_uidl(PopClient& pop);
// Opens the message: its retrieval sent ahead, or a RETR sent now.
int pop_getOpen(PopClient& pop, std::string_view messageNumber);
// With pipelining, sends the RETR of the message to be opened next, so its answer is
// on its way while the current one is forwarded; without, sends nothing. The next
// pop_getOpen must be for that message, and no other command may come before it.
int pop_sendAhead(PopClient& pop, std::string_view messageNumber);
// Next piece of the open message in text, dot-unstuffed: at least 4096 bytes except the
// last, whole lines unless a line is longer than 4096 bytes (such a line is handed on
// in parts, so any line length passes in constant memory); 0 once the message is
// complete.
long pop_getText(PopClient& pop);
// Marks the message for deletion; the server commits it after QUIT. With pipelining the
// answer is read later, before the answer of the next command waited for, and a
// refusal fails that call.
int pop_delete(PopClient& pop, std::string_view messageNumber);
// QUIT, once the answers still owed were read.
int pop_close(PopClient& pop);
