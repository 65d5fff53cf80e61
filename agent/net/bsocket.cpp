#include "bsocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "globals.h"
#include "log.h"
#include "startup.h"
#include "texthelpers.h"

namespace {

const char* name(const bSocket& s) { return s.serverName.c_str(); }

void sigpipe_handle(int) { debugLog("SIGPIPE signal received"); }

void installSigpipe() {
    struct sigaction sa {};
    sa.sa_handler = sigpipe_handle;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

// Our own codes for TLS failures sit above the errno range, like kHostNotFound.
constexpr int kTlsCertificate = 600;
constexpr int kTlsProtocol = 601;

Str tlsLibraryReason() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (!e) return Str();
    const char* reason = ERR_reason_error_string(e);
    return ToStr(reason ? reason : "unknown TLS error");
}

void bSocket_error(bSocket& s) { bSocket_fail(s, View(bSocket_socketErrorMsg(s.errorCode))); }

// A TLS call failed with category err (from SSL_get_error). Explains it in the user's
// terms: a dropped connection reads as one, a refused certificate names the reason.
void tlsError(bSocket& s, int err, const char* trace) {
    s.errorCode = err;
    Str detail;
    long verify = s.ssl ? SSL_get_verify_result(s.ssl.get()) : X509_V_OK;
    if (!s.tlsActive && verify != X509_V_OK) {
        detail = NewStr("The server's certificate was refused: ", X509_verify_cert_error_string(verify), ".");
        s.errorCode = kTlsCertificate;
    } else if ((err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN) && ERR_peek_error() == 0) {
        s.errorCode = errno ? errno : ENOTCONN;
    } else {
        Str reason = tlsLibraryReason();
        detail = NewStr("The secure connection failed: ", reason.empty() ? std::string_view("protocol error") : View(reason),
                        ".");
        s.errorCode = kTlsProtocol;
    }
    bSocket_error(s);
    if (!detail.empty()) s.errorDetail = detail;
    debugLog("%s %s", name(s), trace);
}

// Waits until fd is readable (direction '1') or writable ('2'), in slices that poll
// the stop request. Returns > 0 when ready, -1 with errno set otherwise. Time is taken
// from the monotonic clock: a signal that interrupts a slice (a status request) must
// not count as a whole slice, or frequent requests would end the wait early.
int bSocket_poll(bSocket& s, char direction, int limitSeconds) {
    using Clock = std::chrono::steady_clock;
    debugLog("%s bSocket_poll %s", name(s), direction == '1' ? "POLL_READ" : "POLL_WRITE");
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    while (true) {
        if (CkStopReq()) {
            errno = EINTR;
            return -1;
        }
        pollfd p{s.fd, static_cast<short>(direction == '1' ? POLLIN : POLLOUT), 0};
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        long long slice = std::clamp<long long>(left, 1, s.limits.slice * 1000LL);
        int rc = ::poll(&p, 1, static_cast<int>(slice));
        if (rc == 0 || (rc < 0 && errno == EINTR)) {
            if (Clock::now() < deadline) {
                debugLog("%s bSocket_poll.select 5 sec timeout, waiting", name(s));
                continue;
            }
            debugLog("%s bSocket_poll.select wait time exceeded, setting ETIMEDOUT", name(s));
            errno = ETIMEDOUT;
            debugLog("%s bSocket_poll.select  rc = SOCKET_ERROR", name(s));
            return -1;
        }
        if (rc < 0) {
            debugLog("%s bSocket_poll.select  rc = SOCKET_ERROR", name(s));
            return -1;
        }
        if ((p.revents & POLLERR) || ((p.revents & POLLNVAL))) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            errno = err ? err : EIO;
            debugLog("%s bSocket_poll select error", name(s));
            return -1;
        }
        return rc;
    }
}

// Waits for the direction a TLS call asked for; false when the wait failed.
bool tlsWait(bSocket& s, int err, int limitSeconds) {
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
    return bSocket_poll(s, err == SSL_ERROR_WANT_READ ? '1' : '2', limitSeconds) > 0;
}

bool isIpLiteral(const Str& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

void bSocket_sslHandshake(bSocket& s) {
    debugLog("%s establishing secure connection", name(s));
    ERR_clear_error();
    // TLS is set up at the first secure connection: a run without one never loads the
    // library's algorithms and trust store (megabytes of resident memory).
    if (!globals.tlsContext) initTls();
    s.ssl.reset(SSL_new(globals.tlsContext.get()));
    if (!s.ssl || SSL_set_fd(s.ssl.get(), s.fd) != 1) {
        tlsError(s, SSL_ERROR_SSL, "bSocket_connect SSL connect error");
        return;
    }
    // Whatever has arrived is taken in one read, not a record header and its body in
    // two: a message of many records costs half the system calls.
    SSL_set_read_ahead(s.ssl.get(), 1);
    // A peer that closes without close_notify ends the data as a plain close does, so
    // the callers' rules for a closed connection hold over TLS too.
    SSL_set_options(s.ssl.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    // The certificate must name the host we asked for; the name also goes out as SNI
    // so servers with several certificates present the right one.
    if (isIpLiteral(s.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl.get()), s.host.c_str());
    } else {
        SSL_set_tlsext_host_name(s.ssl.get(), s.host.c_str());
        SSL_set1_host(s.ssl.get(), s.host.c_str());
    }
    while (true) {
        int rc = SSL_connect(s.ssl.get());
        if (rc > 0) {
            debugLog("%s secure connection established", name(s));
            s.tlsActive = 1;
            return;
        }
        int err = SSL_get_error(s.ssl.get(), rc);
        s.errorCode = err;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (tlsWait(s, err, s.limits.connectWait)) continue;
            s.errorCode = errno;
            bSocket_error(s);
            debugLog("%s bSocket_connect connect error", name(s));
            return;
        }
        tlsError(s, err, "bSocket_connect SSL connect error");
        return;
    }
}

// Connects to one resolved address; 0 connected, -1 with s.errorCode set.
int connectAddress(bSocket& s, const addrinfo& ai) {
    s.fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
    if (s.fd < 0) {
        s.errorCode = errno;
        debugLog("%s bSocket_connect Create socket error", name(s));
        return -1;
    }
    int on = 1;
    if (::ioctl(s.fd, FIONBIO, &on) != 0) {
        s.errorCode = errno;
        debugLog("%s bSocket_connect set socket nonblocking error", name(s));
        return -1;
    }
    if (::connect(s.fd, ai.ai_addr, ai.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            s.errorCode = errno;
            debugLog("%s bSocket_connect connect to server error", name(s));
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (bSocket_poll(s, '2', s.limits.connectWait) <= 0) {
            err = errno;
        } else if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            err = errno;
        }
        if (err) {
            s.errorCode = err;
            debugLog("%s bSocket_connect connect to server error", name(s));
            return -1;
        }
    }
    return 0;
}

void bSocket_connect(bSocket& s) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    char port[16];
    std::snprintf(port, sizeof port, "%d", s.port);
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(s.host.c_str(), port, &hints, &found);
    if (rc != 0 || !found) {
        debugLog("%s bSocket_connect gethostbyname error: %i-%s", name(s), rc, gai_strerror(rc));
        s.errorCode = kHostNotFound;
        bSocket_error(s);
        return;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    // Addresses are tried in order within one attempt; the last failure is reported.
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (connectAddress(s, *ai) == 0) {
            s.connected = 1;
            break;
        }
        if (s.fd >= 0) ::close(s.fd);
        s.fd = -1;
        if (globals.stopRequested) break;
    }
    if (!s.connected) {
        bSocket_error(s);
        return;
    }
    // Commands are small writes answered by the peer; without this a command that
    // follows an unacknowledged write waits for the peer's delayed acknowledgement.
    int on = 1;
    ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    debugLog("%s connected to host: %s  Port: %d  Socket: %d", name(s), s.host.c_str(), s.port, s.fd);
    s.ioBufferSize = 4096;
    s.ioBuffer.assign(static_cast<size_t>(s.ioBufferSize), '\0');
    if (s.useTLS == 1) bSocket_sslHandshake(s);
}

void bSocket_sslDisconnect(bSocket& s) {
    debugLog("%s bSocket_sslDisconnect starting SSL disconnect", name(s));
    installSigpipe();
    SSL_set_shutdown(s.ssl.get(), SSL_RECEIVED_SHUTDOWN);
    bool retried = false;
    while (true) {
        int rc = SSL_shutdown(s.ssl.get());
        if (rc > 0) break;
        if (rc == 0) {
            if (retried) break;
            retried = true;
            continue;
        }
        int err = SSL_get_error(s.ssl.get(), rc);
        if (tlsWait(s, err, s.limits.connectWait)) continue;
        s.errorCode = err;
        s.failed = 1;
        debugLog("%s bSocket_sslDisconnect shutdown error", name(s));
        ERR_clear_error();
        break;
    }
    debugLog("%s bSocket_sslDisconnect SSL disconnect complete", name(s));
    s.ssl.reset();
}

// Compacts the consumed front of pending once it dominates, so handing out lines
// costs nothing per line and the buffer stays near one read's size.
void dropConsumed(bSocket& s) {
    if (s.pendingStart > 0 && s.pendingStart * 2 >= s.pending.size()) {
        s.pending.erase(0, s.pendingStart);
        s.pendingStart = 0;
    }
}

} // namespace

bSocket::~bSocket() {
    if (fd >= 0) ::close(fd);
}

Owned<bSocket> bSocket_construct() { return makeTracked<bSocket>(); }

void bSocket_initSocket(bSocket& s, std::string_view host, int port, std::string_view serverName, int useTLS) {
    s.host = ToStr(host);
    s.port = port;
    s.useTLS = useTLS;
    s.serverName = ToStr(serverName);
    s.ioBuffer = {};
    Str().swap(s.errorText);
    Str().swap(s.errorDetail);
    Str().swap(s.pending);
    s.pendingStart = 0;
    Str().swap(s.line);
    s.tlsActive = 0;
    s.failed = 0;
    s.connected = 0;
    s.errorCode = 0;
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.ssl.reset();
}

int bSocket_connectSocket(bSocket& s) {
    s.connected = 0;
    s.pending.clear();
    s.pendingStart = 0;
    for (int attempt = 1;; ++attempt) {
        s.failed = 0;
        bSocket_connect(s);
        if (s.connected) return 0;
        if (attempt >= s.limits.attempts) return -1;
        if (CkStopReq()) {
            bSocket_closeSocket(s);
            return -1;
        }
    }
}

long bSocket_read(bSocket& s) {
    if (CkStopReq() || s.fd < 0) {
        bSocket_closeSocket(s);
        return -1;
    }
    char* buf = s.ioBuffer.data();
    if (!s.tlsActive) {
        debugLog("%s bSocket_read reading", name(s));
        while (true) {
            ssize_t n = ::read(s.fd, buf, static_cast<size_t>(s.ioBufferSize));
            if (n > 0) {
                debugLog("%s bSocket_read complete readLen: %i", name(s), static_cast<int>(n));
                return n;
            }
            if (n == 0) {
                debugLog("%s bSocket_read end of data", name(s));
                return 0;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN && bSocket_poll(s, '1', s.limits.ioWait) > 0) continue;
            s.errorCode = errno;
            bSocket_error(s);
            debugLog("%s bSocket_read.read  rc = SOCKET_ERROR", name(s));
            return -1;
        }
    }
    debugLog("%s bSocket_read SSL reading", name(s));
    installSigpipe();
    while (true) {
        ERR_clear_error();
        int n = SSL_read(s.ssl.get(), buf, s.ioBufferSize);
        if (n > 0) {
            debugLog("%s bSocket_read complete readLen: %i", name(s), n);
            return n;
        }
        int err = SSL_get_error(s.ssl.get(), n);
        if (err == SSL_ERROR_ZERO_RETURN) {
            debugLog("%s bSocket_read SSL end of data", name(s));
            return 0;
        }
        if (tlsWait(s, err, s.limits.ioWait)) continue;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            s.errorCode = errno;
            bSocket_error(s);
        } else {
            tlsError(s, err, "bSocket_read SSL read error");
        }
        debugLog("%s bSocket_read SSL read error", name(s));
        return -1;
    }
}

namespace {

// One more read appended to pending, NUL bytes replaced; false after a failure or when
// the server ended the stream (then "Host closed connection.").
bool receiveMore(bSocket& s) {
    long n = bSocket_read(s);
    if (n == 0) {
        s.errorCode = ENOTCONN;
        bSocket_error(s);
    }
    if (n <= 0) return false;
    NullCharRpl(s.ioBuffer.data(), static_cast<size_t>(n));
    s.pending.append(s.ioBuffer.data(), static_cast<size_t>(n));
    return true;
}

long handOut(bSocket& s, size_t len) {
    s.line.assign(s.pending, s.pendingStart, len);
    s.pendingStart += len;
    dropConsumed(s);
    debugLog("%s bSocket_readLn bytes returned: %i", name(s), static_cast<int>(len));
    return static_cast<long>(len);
}

// The next line when it holds at most limit bytes; otherwise its first limit bytes
// (cut) or a failure (!cut).
long nextPiece(bSocket& s, size_t limit, bool cut, int& endsLine) {
    // Only the new bytes (and the CR before them) can complete a line: searching from
    // there keeps a long line linear in its length.
    size_t searchFrom = s.pendingStart;
    while (!CkStopReq()) {
        size_t at = s.pending.find("\r\n", searchFrom);
        size_t held = s.pending.size() - s.pendingStart;
        if (at != Str::npos && at + 2 - s.pendingStart <= limit) {
            endsLine = 1;
            return handOut(s, at + 2 - s.pendingStart);
        }
        if (held >= limit) {
            if (!cut) {
                debugLog("%s bSocket_readLn line too long", name(s));
                bSocket_fail(s, "The server sent a line longer than the agent accepts.");
                return -1;
            }
            endsLine = 0;
            return handOut(s, s.pending[s.pendingStart + limit - 1] == '\r' ? limit - 1 : limit);
        }
        searchFrom = std::max(s.pendingStart, s.pending.size() > 0 ? s.pending.size() - 1 : 0);
        if (!receiveMore(s)) return -1;
    }
    bSocket_closeSocket(s);
    return -1;
}

} // namespace

long bSocket_readLn(bSocket& s) {
    int endsLine = 0;
    return nextPiece(s, s.limits.maxLine, false, endsLine);
}

long bSocket_readPiece(bSocket& s, size_t maxBytes, int& endsLine) { return nextPiece(s, maxBytes, true, endsLine); }

long bSocket_readBytes(bSocket& s, size_t maxBytes) {
    while (s.pendingStart == s.pending.size()) {
        if (CkStopReq()) {
            bSocket_closeSocket(s);
            return -1;
        }
        if (!receiveMore(s)) return -1;
    }
    return handOut(s, std::min(maxBytes, s.pending.size() - s.pendingStart));
}

int bSocket_write(bSocket& s, std::string_view text) {
    s.pending.clear();
    s.pendingStart = 0;
    return bSocket_send(s, text);
}

int bSocket_send(bSocket& s, std::string_view text) {
    s.failed = 0;
    if (s.fd < 0) {
        s.errorCode = ENOTCONN;
        bSocket_error(s);
        return -1;
    }
    size_t off = 0;
    while (off < text.size()) {
        size_t piece = std::min(text.size() - off, static_cast<size_t>(s.ioBufferSize));
        std::memcpy(s.ioBuffer.data(), text.data() + off, piece);
        off += piece;
        if (!s.tlsActive) {
            debugLog("%s bSocket_write sending", name(s));
            size_t sent = 0;
            while (sent < piece) {
                ssize_t w = ::send(s.fd, s.ioBuffer.data() + sent, piece - sent, MSG_NOSIGNAL);
                if (w > 0) {
                    sent += static_cast<size_t>(w);
                    if (sent < piece) debugLog("%s bSocket_write data sent: %i", name(s), static_cast<int>(w));
                    continue;
                }
                if (w < 0 && errno == EINTR) continue;
                if (w < 0 && errno == EAGAIN && bSocket_poll(s, '2', s.limits.ioWait) > 0) continue;
                s.errorCode = errno;
                bSocket_error(s);
                debugLog("%s bSocket_write  rc = SOCKET_ERROR", name(s));
                return -1;
            }
            debugLog("%s bSocket_write complete", name(s));
        } else {
            installSigpipe();
            while (true) {
                ERR_clear_error();
                int w = SSL_write(s.ssl.get(), s.ioBuffer.data(), static_cast<int>(piece));
                if (w > 0) {
                    debugLog("%s bSocket_write SSL bytes written: %i", name(s), w);
                    break;
                }
                int err = SSL_get_error(s.ssl.get(), w);
                if (tlsWait(s, err, s.limits.ioWait)) continue;
                if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                    s.errorCode = errno;
                    bSocket_error(s);
                    debugLog("%s bSocket_write write error", name(s));
                } else {
                    tlsError(s, err, "bSocket_write SSL write error");
                }
                return -1;
            }
        }
        if (CkStopReq()) {
            bSocket_closeSocket(s);
            return -1;
        }
    }
    return 0;
}

void bSocket_closeSocket(bSocket& s) {
    if (s.fd != -1) {
        if (s.tlsActive == 1 && s.failed == 0 && s.ssl) bSocket_sslDisconnect(s);
        int rc = ::close(s.fd);
        debugLog("%s closing socket %i  return code: %i", name(s), s.fd, rc);
        s.fd = -1;
    }
    s.ssl.reset();
    s.tlsActive = 0;
    s.connected = 0;
}

void bSocket_fail(bSocket& s, std::string_view detail) {
    s.failed = 1;
    s.errorText = NewStr("An error occurred while communicating with the ", View(s.serverName), " server.");
    s.errorDetail = ToStr(detail);
    debugLog("%s bSocket_error: %s", name(s), s.errorDetail.c_str());
    bSocket_closeSocket(s);
}

void bSocket_serverError(bSocket& s) {
    s.errorText = NewStr(View(s.serverName), " server returned an error.");
    std::string_view line = View(s.line);
    size_t end = line.find("\r\n");
    s.errorDetail = ToStr(line.substr(0, end));
    debugLog("%s bSocket_serverError: %s", name(s), s.errorDetail.c_str());
    bSocket_closeSocket(s);
}

Str bSocket_socketErrorMsg(int code) {
    switch (code) {
    case ENETDOWN: return ToStr("Network is down.");
    case ENETUNREACH: return ToStr("Network is unreachable.");
    case ENETRESET: return ToStr("Network dropped connection on reset.");
    case ECONNABORTED: return ToStr("Software caused connection abort.");
    case ECONNRESET: return ToStr("Connection reset by peer.");
    case ENOTCONN: return ToStr("Host closed connection.");
    case ETIMEDOUT: return ToStr("Connection timed out.");
    case ECONNREFUSED: return ToStr("Connection refused.");
    case EHOSTDOWN: return ToStr("Host is down.");
    case EHOSTUNREACH: return ToStr("No route to host.");
    case EREMOTE: return ToStr("Remote host error.");
    case kHostNotFound: return ToStr("Host not found.");
    default: {
        char text[256];
        std::snprintf(text, sizeof text, "Network error: %d-%s", code, std::strerror(code));
        return ToStr(text);
    }
    }
}

void splitServer(std::string_view server, Str& host, int& port, int dflt) {
    host = NthField(server, ":", 1);
    Str portText = NthField(server, ":", 2);
    long value = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > 65535) break;
    }
    port = (value > 0 && value <= 65535) ? static_cast<int>(value) : dflt;
}

bool unsafeCommandArg(std::string_view text, size_t room) {
    return text.size() > room || text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void bSocket_refuseArgument(bSocket& s, std::string_view what) {
    s.errorText = NewStr("The ", what, " cannot be sent to the ", View(s.serverName), " server.");
    s.errorDetail = NewStr("The ", what,
                           " contains a line break or is longer than a command line allows. Check the account "
                           "information in the Preferences dialog.");
    debugLog("%s refused before sending: %s", name(s), s.errorText.c_str());
    bSocket_closeSocket(s);
}
