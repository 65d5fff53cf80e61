// Buffered socket: one TCP connection, plain or TLS, non-blocking with bounded waits
// that poll the stop request, CR LF line assembly and writes in 4096-byte pieces.
//
// Every failure closes the connection and leaves a headline (errorText) and an
// explanation (errorDetail) for the user; a stop request closes it without new texts.
#pragma once

#include <memory>
#include <openssl/ssl.h>
#include <vector>

#include "tstr.h"

// Waits and retries; the defaults are the product's, tests may shorten them.
struct bSocketLimits {
    int connectWait = 60; // seconds, connect and each TLS handshake or shutdown step
    int ioWait = 180;     // seconds, each read or write wait
    int slice = 5;        // seconds per wait slice between stop checks
    int attempts = 3;     // connection attempts
    size_t maxLine = 4u << 20; // longest reply line accepted; a server that never ends its
                               // line cannot make the agent hold more than this
    size_t maxListEntries = 1000000; // lines of one message listing (UIDL, FETCH of UIDs)
    size_t maxListBytes = 64u << 20; // bytes of one message listing
};

struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};

struct bSocket {
    Str host;
    int port = 0;
    int useTLS = 0;
    int tlsActive = 0;
    std::vector<char, TrackedAllocator<char>> ioBuffer;
    int ioBufferSize = 4096;
    int errorCode = 0;
    Str errorText;
    Str errorDetail;
    Str pending;         // received, not yet handed out; consumed from pendingStart on
    size_t pendingStart = 0;
    Str line;            // last line handed out, CR LF included
    Str serverName;      // "SMTP", or the account type name
    int failed = 0;
    int connected = 0;
    int fd = -1;
    std::unique_ptr<SSL, SslFree> ssl;
    bSocketLimits limits;

    bSocket() = default;
    bSocket(const bSocket&) = delete;
    bSocket& operator=(const bSocket&) = delete;
    // Owners close first; destruction only releases the descriptor if one is left.
    ~bSocket();
};

// Own error code for a host name that does not resolve, outside the errno range.
constexpr int kHostNotFound = 501;

Owned<bSocket> bSocket_construct();
void bSocket_initSocket(bSocket& s, std::string_view host, int port, std::string_view serverName, int useTLS);
int bSocket_connectSocket(bSocket& s);
// Length of the next line (in s.line, CR LF included), -1 on failure or stop. A line
// longer than limits.maxLine fails: replies are short, and the limit bounds memory.
long bSocket_readLn(bSocket& s);
// Message text of any line length: the next line, or when no CR LF arrives within
// maxBytes (>= 2) bytes, the first maxBytes bytes of the line (one fewer when the last
// would be a CR, so a CR LF is never split); in s.line. endsLine is 1 when the piece
// ends with the line's CR LF. -1 on failure or stop.
long bSocket_readPiece(bSocket& s, size_t maxBytes, int& endsLine);
// The next 1 to maxBytes bytes as received (NUL bytes as 0x7F), whatever their lines;
// in s.line. -1 on failure or stop.
long bSocket_readBytes(bSocket& s, size_t maxBytes);
// Bytes placed in ioBuffer (>= 1), 0 when the server ended the stream, -1 on failure.
long bSocket_read(bSocket& s);
int bSocket_write(bSocket& s, std::string_view text);
// bSocket_write without dropping what was received and not yet read: for commands sent
// before the answers to earlier ones were read (pipelining).
int bSocket_send(bSocket& s, std::string_view text);
void bSocket_closeSocket(bSocket& s);
// The server refused a command: headline "<serverName> server returned an error.",
// the reply line as explanation; the connection is closed.
void bSocket_serverError(bSocket& s);
// A communication failure the agent detected itself (the server broke a limit): the
// usual headline with detail as explanation; the connection is closed.
void bSocket_fail(bSocket& s, std::string_view detail);
// Explanation for a system error number (or kHostNotFound).
Str bSocket_socketErrorMsg(int code);

// Splits "host[:port]" as the clients take it: the port is the integer after the first
// ":", and a missing or zero port gives dflt.
void splitServer(std::string_view server, Str& host, int& port, int dflt);
// True when text holds CR or LF or would not fit a command line of limit bytes with
// its command word and CR LF; such text is refused before anything is sent.
bool unsafeCommandArg(std::string_view text, size_t room);
// Sets the texts for an argument refused before sending and closes the connection.
void bSocket_refuseArgument(bSocket& s, std::string_view what);
