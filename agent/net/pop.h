// POP3 client: USER/PASS login, UIDL listing, RETR delivered in pieces of whole lines,
// DELE and QUIT, over a plain or TLS connection (TLS from the first byte).
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
};

Owned<PopClient> pop_construct();

// server: host[:port] (no port or 0: 995 with TLS, else 110); credentials: user ":"
// password (cut at a second ":"); serverName: the account type, named in every message.
// A user name or password with a line break, or too long for a command line, is
// refused before anything is sent.
int pop_connect(PopClient& pop, std::string_view server, std::string_view credentials, std::string_view serverName,
                int useTLS);
// Fills text with the UIDL answer: one "number uid" line per message, each with CR LF,
// leading blanks removed, in the server's order. A listing longer than the socket's
// list limits fails.
int pop_uidl(PopClient& pop);
int pop_getOpen(PopClient& pop, std::string_view messageNumber);
// Next piece of the open message in text, dot-unstuffed: at least 4096 bytes except the
// last, whole lines unless a line is longer than 4096 bytes (such a line is handed on
// in parts, so any line length passes in constant memory); 0 once the message is
// complete.
long pop_getText(PopClient& pop);
// Marks the message for deletion; the server commits it after QUIT.
int pop_delete(PopClient& pop, std::string_view messageNumber);
int pop_close(PopClient& pop);
