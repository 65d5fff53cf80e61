// SMTP client: delivers forwarded messages over one connection per account.
//
// Dialogue: greeting, HELO (or EHLO + AUTH LOGIN when authenticating), RSET, then per
// message MAIL FROM / RCPT TO / DATA with the text dot-stuffed across the pieces it
// arrives in, and QUIT. TLS is only TLS from the first byte; there is no STARTTLS.
//
// Every operation returns 0 on success and -1 on failure; after a failure the
// connection is closed and socket.errorText / socket.errorDetail say why. Later
// operations on the closed connection fail at once and keep those texts.
#pragma once

#include <string_view>

#include "bsocket.h"

struct SmtpClient {
    bSocket socket;
    // The last (up to) two characters of message text given in the current DATA
    // phase; CR LF right after DATA, so a "." at the very start is stuffed too.
    Str tail;
    int port = 0;
    // Stuffed message text not yet written: pieces are gathered into large writes.
    // Bounded by about twice kSmtpDataWrite whatever the size of a piece.
    Str outBuf;
};

// Every command line, command word, argument and CR LF included, fits in this many bytes;
// an address or credential that would not is refused before anything is sent.
constexpr size_t kSmtpCommandLine = 268;
// Message text is written in pieces of about this size.
constexpr size_t kSmtpDataWrite = 16384;

Owned<SmtpClient> smtp_construct();

// server: "host[:port]" (port 465 with TLS, else 25, when missing or 0). authFlag: its
// leading integer decides between HELO (0) and EHLO + AUTH LOGIN (anything else).
// credentials: user ":" password; the password ends at a second ":".
int smtp_connect(SmtpClient& smtp, std::string_view server, std::string_view authFlag, std::string_view credentials,
                 int useTLS);
// recipients: comma-separated addresses, each trimmed of blanks, tried in order; the
// first refused one ends the operation.
int smtp_msgOpen(SmtpClient& smtp, std::string_view sender, std::string_view recipients);
// The next piece of message text, unstuffed. Works per piece with bounded memory; the
// text may be buffered until a later piece or smtp_msgClose, which reports any failure.
int smtp_msgPut(SmtpClient& smtp, std::string_view text);
// Ends the message (adding CR LF when its text did not end with one).
int smtp_msgClose(SmtpClient& smtp);
// QUIT, then closes the connection.
int smtp_close(SmtpClient& smtp);

// The dot-stuffing of smtp_msgPut: appends text to out with every "." that starts a
// line doubled, where the two characters before text are tail; tail then becomes the
// last two characters of tail + text.
void smtp_stuffText(Str& tail, std::string_view text, Str& out);
