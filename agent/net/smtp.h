// SMTP client: delivers forwarded messages over one connection per account.
//
// Dialogue: greeting, EHLO (HELO when the server refuses EHLO), RSET, AUTH LOGIN when
// authenticating, then per message MAIL FROM / RCPT TO / DATA with the text
// dot-stuffed across the pieces it arrives in, and QUIT. When EHLO lists PIPELINING the
// envelope commands go out together and their replies are read in order behind them.
// TLS is only TLS from the first byte; there is no STARTTLS.
//
// Every operation returns 0 on success and -1 on failure; after a failure
// socket.errorText / socket.errorDetail say why and the connection is closed, except
// after a refusal of the message (see refused). Later operations on the closed
// connection fail at once and keep those texts.
#pragma once

#include <string_view>

#include "bsocket.h"

struct SmtpClient {
    bSocket socket;
    // The last character of message text given in the current DATA phase; a line end
    // right after DATA, so a "." at the very start is stuffed too.
    Str tail;
    // 1 when the last smtp_msgOpen or smtp_msgClose failed because the server refused
    // the message for good (a 5xx reply to MAIL, RCPT, DATA or the end of data). The
    // texts name that reply; the session has been reset with RSET and takes the next
    // message, unless the server went away meanwhile (socket no longer connected: a
    // new smtp_connect is needed). 0 after every other outcome.
    int refused = 0;
    int port = 0;
    // 1 when the server's EHLO reply listed PIPELINING.
    int pipelining = 0;
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
// leading integer decides whether to sign in with AUTH LOGIN (anything but 0), which
// fails when the server refused EHLO. credentials: user ":" password; the password
// ends at a second ":".
int smtp_connect(SmtpClient& smtp, std::string_view server, std::string_view authFlag, std::string_view credentials,
                 int useTLS);
// recipients: comma-separated addresses, each trimmed of blanks, tried in order; a
// refused one refuses the message (without PIPELINING the rest are not tried). A 5xx
// reply to MAIL, RCPT or DATA sets refused; the texts name the first one.
int smtp_msgOpen(SmtpClient& smtp, std::string_view sender, std::string_view recipients);
// The next piece of message text, unstuffed. Works per piece with bounded memory; the
// text may be buffered until a later piece or smtp_msgClose, which reports any failure.
int smtp_msgPut(SmtpClient& smtp, std::string_view text);
// Ends the message (adding CR LF when its text did not end with a line end). A 5xx
// reply sets refused.
int smtp_msgClose(SmtpClient& smtp);
// QUIT, then closes the connection.
int smtp_close(SmtpClient& smtp);

// The wire form of smtp_msgPut: appends text to out with every bare CR and bare LF
// sent as CR LF (SMTP knows no other line end, and a receiver that took a bare one
// for a line end could end the data early at a following "." line), and every "."
// that starts a line doubled. tail is the text given before (only its last character
// counts; start with a line end); it then becomes the last character of tail + text.
// A CR at the end of text goes out as CR LF at once; an LF that begins the next text
// completes that pair and adds nothing. Cutting a text anywhere gives the same bytes.
void smtp_stuffText(Str& tail, std::string_view text, Str& out);
